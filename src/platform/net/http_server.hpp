// HTTP server on cpp-httplib: routes by method and exact path, whole answers and streamed
// (chunked) ones. A request's head must arrive in time, and the request is judged on it before
// its body is read; a body is capped as it arrives, whatever its framing, and must arrive in
// time. Each connection has a thread of
// its own up to a cap (an idle client holds no place others wait for); past it, connections
// are answered 503. What a handler throws becomes the error answer the owner builds.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::platform::http_server {

struct Request {
    std::string method;
    std::string path;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    // The first value of header `name` (compared without case), or absent.
    std::optional<std::string> header(std::string_view name) const;
};

// Where a streamed answer goes. write() is false once the client has gone.
class Sink {
  public:
    virtual ~Sink() = default;
    virtual bool write(std::string_view data) = 0;
};

struct Response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    // When set, the answer is streamed: called once, on the request's thread, it writes the
    // whole body to the sink.
    std::function<void(Sink&)> stream;
    // Further headers. With Content-Encoding among them the body is sent as it is (already
    // encoded), never compressed again.
    std::vector<std::pair<std::string, std::string>> headers = {};
};

using Handler = std::function<Response(const Request&)>;
// Builds the answer to a request that never reached a handler (an unknown path: 404; a body
// over the limit: 413; an encoded body: 415; a body too slow: 408; too many connections: 503)
// or whose handler threw (500, with the exception's text).
using ErrorAnswer = std::function<Response(const Request&, int status, const std::string& message)>;
// Judges a routed request on its head (the body is not read yet: `body` is empty). An answer
// it gives is sent instead of the handler's, and the body is read only to be thrown away.
using Admission = std::function<std::optional<Response>(const Request& head)>;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::size_t max_body_bytes = 8 * 1024 * 1024;
    int head_seconds = 10;               // the time a client has to send a request's head
    int body_seconds = 30;               // the time a client has to send a whole body
    std::size_t max_connections = 2048;  // open at once; more are answered 503
    // How long an idle connection is kept open. stop() waits for idle connections too, so this
    // bounds how long stopping takes; clients (Node's keep-alive agents drop idle sockets after
    // 4 s) reconnect on their own.
    int keep_alive_seconds = 5;
    // Headers every answer gets, routed or not, given the request it answers (a CORS policy).
    std::function<std::vector<std::pair<std::string, std::string>>(const Request&)> answer_headers =
        {};
};

class Server {
  public:
    Server(const Options& options, ErrorAnswer error_answer, Admission admission = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // GET, POST or OPTIONS (a preflight: judged on its head, like a GET).
    void route(const std::string& method, const std::string& path, Handler handler);
    // Binds the address; returns the port (the chosen one when Options::port was 0). Throws
    // RuntimeFailure when the address cannot be bound.
    int bind();
    // Serves on a thread of its own; returns once it accepts connections. Call after bind().
    void start();
    // Answers the requests in `raw` as one connection that sent them would be answered, and
    // returns the bytes written back; no socket is involved. Call after start().
    std::string answer_bytes(std::string_view raw);
    // Stops accepting and returns once every running handler has finished. Safe from any
    // thread but a handler's, more than once.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune::platform::http_server
