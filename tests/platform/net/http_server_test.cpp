// The HTTP server's door, spoken to byte for byte: bodies capped whatever their framing, a
// refused body never taken for a request, slow bodies cut off, connections capped, and a port
// served once.
#include "platform/net/http_server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace {

namespace http = kestrune::platform::http_server;
using namespace std::chrono_literals;

constexpr std::size_t kMostBody = 1024;

http::Response plain(int status, const std::string& text) {
    return {.status = status, .content_type = "text/plain", .body = text, .stream = {}};
}

// A server whose one route echoes the size of the body it got; a request carrying "X-Refuse"
// is refused at the door.
class Door {
  public:
    explicit Door(std::size_t max_connections = 64, int port = 0)
        : server_(
              {.host = "127.0.0.1",
               .port = port,
               .max_body_bytes = kMostBody,
               .head_seconds = 1,
               .body_seconds = 1,
               .max_connections = max_connections,
               .keep_alive_seconds = 10},
              [](const http::Request&, int status, const std::string& message) {
                  return plain(status, message);
              },
              [](const http::Request& head) -> std::optional<http::Response> {
                  if (head.header("X-Refuse")) {
                      return plain(403, "refused");
                  }
                  return std::nullopt;
              }) {
        server_.route("POST", "/echo", [](const http::Request& request) {
            return plain(200, "got " + std::to_string(request.body.size()));
        });
        port_ = server_.bind();
        server_.start();
    }
    int port() const { return port_; }

  private:
    http::Server server_;
    int port_ = 0;
};

int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{.tv_sec = 3, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

// Sends `parts` a pause apart and returns all that comes back before the server closes the
// connection or goes quiet for 3 s.
std::string exchange(int port, const std::vector<std::string>& parts,
                     std::chrono::milliseconds pause = 0ms) {
    const int fd = connect_to(port);
    for (const std::string& part : parts) {
        ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(pause);
    }
    std::string received;
    char buffer[4096];
    for (ssize_t got = 0; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return received;
}

// Asks the server to close the connection after its answer, so that the answer is all that
// comes back.
std::string post(const std::string& path, const std::string& headers, const std::string& body,
                 bool close = true) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           (close ? "Connection: close\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunked(const std::string& path, const std::string& headers, std::size_t chunks,
                    std::size_t chunk_size) {
    std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                          "Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n";
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk_size);
    for (std::size_t i = 0; i < chunks; ++i) {
        request += size + std::string(chunk_size, 'x') + "\r\n";
    }
    return request + "0\r\n\r\n";
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

TEST(HttpServerDoor, BodiesAreCappedAndJudgedWhateverTheirFraming) {
    const Door door;
    struct Case {
        const char* what;
        std::string request;
        const char* answer;
    };
    const std::vector<Case> cases = {
        {"a body within the cap", post("/echo", "", std::string(1000, 'x')), "200 OK"},
        {"chunks within the cap", chunked("/echo", "", 4, 200), "got 800"},
        {"a declared length past the cap", post("/echo", "", std::string(5000, 'x')), "413"},
        {"chunks past the cap", chunked("/echo", "", 64, 1000), "413"},
        {"a compressed body", post("/echo", "Content-Encoding: gzip\r\n", "\x1f\x8b"), "415"},
        {"a refused head with a body", post("/echo", "X-Refuse: 1\r\n", "{}"), "403"},
        {"a refused head with chunks past the cap", chunked("/echo", "X-Refuse: 1\r\n", 64, 1000),
         "403"},
        {"chunks to no route", chunked("/nowhere", "", 64, 1000), "404"},
    };
    for (const Case& each : cases) {
        const std::string answer = exchange(door.port(), {each.request});
        EXPECT_NE(answer.find(each.answer), std::string::npos) << each.what << ": " << answer;
    }
}

TEST(HttpServerDoor, ARefusedBodyIsNeverTakenForTheNextRequest) {
    const Door door;
    // A page may post a plain-text body holding a whole request of its own: if the refusal left
    // the body unread, the connection would go on with that request.
    const std::string inner = post("/echo", "", "smuggled");
    for (const std::string headers : {"X-Refuse: 1\r\n", "Content-Encoding: br\r\n"}) {
        const std::string outer = post("/echo", headers, inner, false);
        // The head first, the body after it: the server judges before the body is there.
        const std::size_t head = outer.find("\r\n\r\n") + 4;
        const std::string answer =
            exchange(door.port(), {outer.substr(0, head), outer.substr(head)}, 200ms);
        EXPECT_EQ(count(answer, "HTTP/1.1 "), 1U) << answer;
        EXPECT_EQ(answer.find("got 8"), std::string::npos) << answer;
    }
}

TEST(HttpServerDoor, ABodyThatArrivesTooSlowlyIsCutOff) {
    const Door door;
    std::vector<std::string> parts = {
        "POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Connection: close\r\nContent-Length: 40\r\n\r\n"};
    for (int i = 0; i < 20; ++i) {
        parts.emplace_back("xx");
    }
    const std::string answer = exchange(door.port(), parts, 100ms);
    EXPECT_NE(answer.find("408"), std::string::npos) << answer;
}

TEST(HttpServerDoor, AHeadThatTricklesInIsCutOffAtItsDeadline) {
    const Door door;
    // Each byte well within the time-out of a read, the whole head far past its deadline.
    const std::string head = post("/echo", "", "hi");
    std::vector<std::string> parts;
    for (const char byte : head.substr(0, 12)) {
        parts.emplace_back(1, byte);
    }
    parts.push_back(head.substr(12));
    const std::string answer = exchange(door.port(), parts, 200ms);
    EXPECT_EQ(answer.find("got 2"), std::string::npos) << answer;
    // Sent at once, the same request is answered.
    EXPECT_NE(exchange(door.port(), {head}).find("got 2"), std::string::npos);
}

TEST(HttpServerDoor, RequestsReadFromMemoryAreAnsweredAsOverAConnection) {
    http::Server server({.host = "127.0.0.1", .port = 0, .max_body_bytes = kMostBody},
                        [](const http::Request&, int status, const std::string& message) {
                            return plain(status, message);
                        });
    server.route("POST", "/echo", [](const http::Request& request) {
        return plain(200, "got " + std::to_string(request.body.size()));
    });
    server.bind();
    server.start();
    const std::string answers = server.answer_bytes(post("/echo", "", "hello", false) +
                                                    post("/echo", "", std::string(5000, 'x')));
    EXPECT_EQ(count(answers, "HTTP/1.1 "), 2U) << answers;
    EXPECT_NE(answers.find("got 5"), std::string::npos) << answers;
    EXPECT_NE(answers.find("413"), std::string::npos) << answers;
}

TEST(HttpServerDoor, IdleConnectionsHoldNoPlaceAndPastTheCapAreAnswered503) {
    const Door door(40);
    std::vector<int> idle;
    for (int i = 0; i < 39; ++i) {
        idle.push_back(connect_to(door.port()));
    }
    // With every thread of a fixed pool waiting on an idle client, this would wait for their
    // keep-alive time-out (10 s) and the receive time-out (3 s) would come first.
    EXPECT_NE(exchange(door.port(), {post("/echo", "", "hi")}).find("got 2"), std::string::npos);
    idle.push_back(connect_to(door.port()));
    const std::string past_the_cap = exchange(door.port(), {post("/echo", "", "hi")});
    EXPECT_NE(past_the_cap.find("503"), std::string::npos) << past_the_cap;
    for (const int fd : idle) {
        ::close(fd);
    }
}

TEST(HttpServerDoor, APortAlreadyServedIsNotServedTwice) {
    const Door first;
    try {
        const Door second(64, first.port());
        FAIL() << "a second server listened on port " << first.port();
    } catch (const kestrune::RuntimeFailure& error) {
        EXPECT_EQ(std::string(error.what()),
                  "address 127.0.0.1:" + std::to_string(first.port()) + " is in use");
    }
}

}  // namespace
