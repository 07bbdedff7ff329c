// An HTTP server on 127.0.0.1 (any free port) for tests: routes are registered by the caller,
// requests are served on the server's own threads, and it stops when destroyed.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <thread>

namespace kestrune::testing {

class LoopbackServer {
  public:
    // Registers the routes, binds to a free port and serves until destruction. A handler
    // still running at destruction (waiting on something the test holds) must be released
    // first, or destruction waits for it.
    explicit LoopbackServer(const std::function<void(httplib::Server&)>& routes);
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    ~LoopbackServer();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>", without a trailing slash.
    std::string base_url() const;
    // base_url() + path.
    std::string url(const std::string& path) const;

  private:
    httplib::Server server_;
    int port_ = -1;
    std::thread thread_;
};

}  // namespace kestrune::testing
