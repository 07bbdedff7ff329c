// cpp-httplib's server with its connections read by us. The library reads a request's head
// with a time-out per read, so a client sending one byte every few seconds would hold its
// connection (and its thread) for ever: here the whole head must arrive within a deadline. The
// same reader can take a request from memory, for exercising it without sockets.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <string_view>

namespace kestrune::platform::http_server {

class ConnectionServer : public httplib::Server {
  public:
    // The time a client has to send a request's head, from its first byte.
    void set_head_timeout(std::chrono::milliseconds timeout) { head_timeout_ = timeout; }
    // Answers the requests in `raw` as a connection that sent them would be answered, and
    // returns the bytes written back.
    std::string answer_bytes(std::string_view raw);

  private:
    bool process_and_close_socket(socket_t socket) override;
    // Waits until the next request's first byte is there; false when the client went, stayed
    // idle past the keep-alive time or the server is stopping.
    bool next_request_begins(socket_t socket) const;

    std::chrono::milliseconds head_timeout_{10000};
};

}  // namespace kestrune::platform::http_server
