#include "support/loopback_server.hpp"

#include <chrono>
#include <stdexcept>

namespace kestrune::testing {

LoopbackServer::LoopbackServer(const std::function<void(httplib::Server&)>& routes) {
    routes(server_);
    // Clients of the code under test close their connections; a short keep-alive wait keeps
    // shutdown quick should one linger. Without TCP_NODELAY a header write followed by a small
    // body write waits for the client's delayed acknowledgement (about 40 ms per answer).
    server_.set_keep_alive_timeout(1);
    server_.set_tcp_nodelay(true);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ < 0) {
        throw std::runtime_error("loopback server: cannot bind to 127.0.0.1");
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only acts on a running server, so do not hand out one that is not running yet.
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

LoopbackServer::~LoopbackServer() {
    server_.stop();
    thread_.join();
}

std::string LoopbackServer::base_url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::string LoopbackServer::url(const std::string& path) const {
    return base_url() + path;
}

}  // namespace kestrune::testing
