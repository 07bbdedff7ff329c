// A loopback server speaking the OpenAI-compatible API for the adapters' tests: it answers
// "/v1/models" and "/v1/chat/completions" with what the test sets (whole answers, or an
// event stream written chunk by chunk) and records every request it routes.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_server.hpp"

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
    std::string url() const { return loopback_.base_url(); }
    std::vector<RecordedRequest> requests() const;

    // GET /v1/models answers `body` with `status`.
    void answer_models(const std::string& body, int status = 200);
    // POST /v1/chat/completions answers `body` with `status` as JSON.
    void answer_chat(const std::string& body, int status = 200);
    // POST /v1/chat/completions streams `chunks` as an event stream, one chunk per write;
    // with `stall` set, the server then waits without ending the body until it is destroyed.
    void stream_chat(const std::vector<std::string>& chunks, bool stall = false);

  private:
    struct Answer {
        int status = 200;
        std::string body;
        std::optional<std::vector<std::string>> chunks;  // set for a streamed answer
        bool stall = false;
    };

    void routes(httplib::Server& server);
    std::optional<Answer> answer_for(const std::string& path) const;
    void send(const Answer& answer, httplib::Response& response);

    mutable std::mutex mutex_;
    std::optional<Answer> models_;
    std::optional<Answer> chat_;
    std::vector<RecordedRequest> requests_;
    std::atomic<bool> stopping_{false};
    LoopbackServer loopback_;  // last: it stops serving before the state above goes
};

// "data: " + `json` + "\n\n", the way servers frame one event.
std::string sse_event(const std::string& json);
// An event carrying one content delta.
std::string sse_delta(const std::string& content);

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int closed_port();

}  // namespace kestrune::testing
