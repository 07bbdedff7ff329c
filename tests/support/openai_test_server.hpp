// A loopback HTTP server for the tests of the OpenAI-compatible adapters. It listens on
// 127.0.0.1 at a free port, records every request it receives, and lets each test install
// the handlers it needs. Handlers run on the server's threads.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::testing {

struct RecordedRequest {
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;

    bool has_header(const std::string& name) const { return headers.count(name) > 0; }
    std::string header(const std::string& name) const;
};

class OpenAITestServer {
  public:
    OpenAITestServer();
    ~OpenAITestServer();
    OpenAITestServer(const OpenAITestServer&) = delete;
    OpenAITestServer& operator=(const OpenAITestServer&) = delete;

    // "http://127.0.0.1:<port>"
    std::string url() const;
    httplib::Server& server() { return server_; }
    std::vector<RecordedRequest> requests() const;

    // GET /v1/models answers `body` with `status`.
    void answer_models(const std::string& body, int status = 200);
    // POST /v1/chat/completions answers `body` with `status` as JSON.
    void answer_chat(const std::string& body, int status = 200);
    // POST /v1/chat/completions streams `chunks` as an event stream, one chunk per write;
    // with `stall` set, the server then waits without ending the body until it is stopped.
    void stream_chat(std::vector<std::string> chunks, bool stall = false);

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
};

// "data: " + `json` + "\n\n", the way servers frame one event.
std::string sse_event(const std::string& json);
// An event carrying one content delta.
std::string sse_delta(const std::string& content);

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int closed_port();

}  // namespace kestrune::testing
