#include "platform/net/http.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "core/json.hpp"
#include "support/gate.hpp"
#include "support/loopback_server.hpp"

namespace http = kestrune::platform::http;
using kestrune::testing::Gate;
using kestrune::testing::LoopbackServer;
using kestrune::testing::OpenOnExit;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

http::Request get(const std::string& url, std::chrono::milliseconds idle_timeout = 5s) {
    http::Request request;
    request.url = url;
    request.idle_timeout = idle_timeout;
    return request;
}

std::string patterned_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919 + i / 251) % 256);
    }
    return bytes;
}

template <class Body>
std::chrono::milliseconds time_of(Body body) {
    const auto start = Clock::now();
    body();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

bool write(httplib::DataSink& sink, std::string_view text) {
    return sink.write(text.data(), text.size());
}

struct Socket {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ~Socket() { ::close(fd); }
};

}  // namespace

TEST(Http, StreamsLinesAsTheyArrive) {
    Gate second_line;
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/events", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/event-stream", [&](std::size_t, httplib::DataSink& sink) {
                    write(sink, "data: one\n");
                    const bool released = second_line.wait();
                    write(sink, released ? "data: two\r\n\r\ntail" : "late");
                    sink.done();
                    return true;
                });
        });
    });
    OpenOnExit release{second_line};

    // The idle time-out is far below the gate's bound: a reader that waited for the whole
    // body before handing out the first line would time out here.
    auto stream = http::ResponseStream::open(get(server.url("/events"), 3s));
    EXPECT_EQ(stream.status(), 200);
    EXPECT_EQ(stream.header("CONTENT-type"), "text/event-stream");
    EXPECT_EQ(stream.next_line(), "data: one");
    second_line.open();
    EXPECT_EQ(stream.next_line(), "data: two");
    EXPECT_EQ(stream.next_line(), "");
    EXPECT_EQ(stream.next_line(), "tail");
    EXPECT_EQ(stream.next_line(), std::nullopt);
    EXPECT_EQ(stream.next_line(), std::nullopt);
}

TEST(Http, StalledServerTimesOutAfterTheIdleTimeout) {
    Gate resume;
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain",
                                             [&](std::size_t, httplib::DataSink& sink) {
                                                 write(sink, "first\n");
                                                 resume.wait();
                                                 sink.done();
                                                 return true;
                                             });
        });
        s.Get("/silent", [&](const httplib::Request&, httplib::Response& res) {
            resume.wait();
            res.set_content("too late", "text/plain");
        });
    });
    OpenOnExit release{resume};
    constexpr auto idle = 300ms;

    auto stream = http::ResponseStream::open(get(server.url("/stall"), idle));
    EXPECT_EQ(stream.next_line(), "first");
    const auto mid_body = time_of([&] { EXPECT_THROW(stream.next_line(), http::Timeout); });
    EXPECT_GE(mid_body, idle - 10ms);
    EXPECT_LT(mid_body, 3s);
    EXPECT_THROW(stream.next_line(), http::Timeout) << "the failure stays";

    const auto before_headers = time_of([&] {
        EXPECT_THROW(http::ResponseStream::open(get(server.url("/silent"), idle)), http::Timeout);
    });
    EXPECT_GE(before_headers, idle - 10ms);
    EXPECT_LT(before_headers, 3s);

    EXPECT_THROW(http::fetch(get(server.url("/stall"), idle)), http::Timeout);
}

TEST(Http, SlowSteadyAnswerDoesNotTimeOut) {
    // The server paces its bytes (the subject here) far inside the idle time-out: each gap is a
    // fifth of it, the whole answer twice as long as it.
    constexpr auto idle = 750ms;
    Gate reader_waits;
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/drip", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain",
                                             [&](std::size_t, httplib::DataSink& sink) {
                                                 for (int i = 0; i < 10; ++i) {
                                                     std::this_thread::sleep_for(idle / 5);
                                                     write(sink, "x");
                                                 }
                                                 sink.done();
                                                 return true;
                                             });
        });
        s.Get("/pause", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain",
                                             [&](std::size_t, httplib::DataSink& sink) {
                                                 write(sink, "a\n");
                                                 // "b" comes a third of the idle time-out into the
                                                 // reader's next wait.
                                                 const bool waiting = reader_waits.wait();
                                                 std::this_thread::sleep_for(idle / 3);
                                                 write(sink, waiting ? "b\n" : "late\n");
                                                 sink.done();
                                                 return true;
                                             });
        });
    });
    OpenOnExit release{reader_waits};

    const auto dripped =
        time_of([&] { EXPECT_EQ(http::fetch(get(server.url("/drip"), idle)).body, "xxxxxxxxxx"); });
    EXPECT_GT(dripped, idle);

    // The reader is busy for longer than the idle time-out while the server is silent too; its
    // next wait still gets the whole idle time-out.
    auto stream = http::ResponseStream::open(get(server.url("/pause"), idle));
    EXPECT_EQ(stream.next_line(), "a");
    std::this_thread::sleep_for(idle + idle / 3);
    reader_waits.open();
    EXPECT_EQ(stream.next_line(), "b");
}

TEST(Http, FollowsRedirectsAndKeepsTheFinalHeaders) {
    LoopbackServer server([](httplib::Server& s) {
        s.Get("/old", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/middle", 302);
            res.set_header("X-Hop", "first");
        });
        s.Get("/middle", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/new", 307);
        });
        s.Get("/new", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("X-Final", "yes");
            res.set_content("arrived\n", "text/plain");
        });
    });

    const auto response = http::fetch(get(server.url("/old")));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "arrived\n");
    EXPECT_EQ(response.header("x-final"), "yes");
    EXPECT_EQ(response.header("Location"), std::nullopt);
    EXPECT_EQ(response.header("X-Hop"), std::nullopt);

    auto stream = http::ResponseStream::open(get(server.url("/old")));
    EXPECT_EQ(stream.status(), 200);
    EXPECT_EQ(stream.header("X-FINAL"), "yes");
    EXPECT_EQ(stream.next_line(), "arrived");
    EXPECT_EQ(stream.next_line(), std::nullopt);

    auto request = get(server.url("/old"));
    request.follow_redirects = false;
    try {
        http::fetch(request);
        ADD_FAILURE() << "an unfollowed redirect is not a success";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 302);
    }
}

TEST(Http, ErrorStatusCarriesStatusAndBody) {
    LoopbackServer server([](httplib::Server& s) {
        s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("model not found", "text/plain");
        });
        s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_chunked_content_provider("text/plain",
                                             [](std::size_t, httplib::DataSink& sink) {
                                                 write(sink, "boom: ");
                                                 write(sink, "out of memory");
                                                 sink.done();
                                                 return true;
                                             });
        });
    });
    auto request = get(server.url("/missing"));
    request.headers = {{"Authorization", "Bearer secret-token"}};

    try {
        http::fetch(request);
        ADD_FAILURE() << "404 was taken for a success";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 404);
        EXPECT_EQ(error.body(), "model not found");
        EXPECT_NE(std::string(error.what()).find("404"), std::string::npos);
        EXPECT_EQ(std::string(error.what()).find("secret-token"), std::string::npos);
    }

    request.url = server.url("/broken");
    try {
        http::ResponseStream::open(request);
        ADD_FAILURE() << "500 was taken for a success";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 500);
        EXPECT_EQ(error.body(), "boom: out of memory");
    }
}

TEST(Http, UnreachableServerIsToldApart) {
    int free_port = 0;
    {
        LoopbackServer gone([](httplib::Server&) {});
        free_port = gone.port();
    }
    auto request = get("http://127.0.0.1:" + std::to_string(free_port) + "/v1/models");
    request.headers = {{"Authorization", "Bearer secret-token"}};
    try {
        http::fetch(request);
        ADD_FAILURE() << "a refused connection was taken for a success";
    } catch (const http::Unreachable& error) {
        EXPECT_EQ(std::string(error.what()).find("secret-token"), std::string::npos);
    }
    EXPECT_THROW(http::ResponseStream::open(request), http::Unreachable);

    // A listener whose accept queue is full drops new connection attempts, so connecting
    // hangs until the connect time-out: still unreachable, not a time-out after connecting.
    Socket listener;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener.fd, 0), 0);
    ASSERT_EQ(::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    Socket filler;
    ASSERT_EQ(::connect(filler.fd, reinterpret_cast<sockaddr*>(&address), length), 0);

    request.url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    request.connect_timeout = 300ms;
    const auto elapsed = time_of([&] { EXPECT_THROW(http::fetch(request), http::Unreachable); });
    EXPECT_LT(elapsed, 5s);
}

TEST(Http, LargeBodiesArriveByteIdentical) {
    const std::string payload = patterned_bytes(6 * 1024 * 1024 + 13);
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/blob", [&](const httplib::Request&, httplib::Response& res) {
            res.set_content(payload, "application/octet-stream");
        });
        s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.body, "application/octet-stream");
        });
    });

    EXPECT_TRUE(http::fetch(get(server.url("/blob"))).body == payload);

    auto stream = http::ResponseStream::open(get(server.url("/blob")));
    std::string streamed;
    while (auto chunk = stream.next_chunk()) {
        EXPECT_FALSE(chunk->empty());
        streamed += *chunk;
    }
    EXPECT_TRUE(streamed == payload);

    auto upload = get(server.url("/echo"));
    upload.method = "POST";
    upload.body = payload;
    upload.headers = {{"Content-Type", "application/octet-stream"}};
    EXPECT_TRUE(http::fetch(upload).body == payload);
}

TEST(Http, DroppingAStreamClosesTheConnection) {
    std::mutex mutex;
    std::condition_variable changed;
    bool write_failed = false;
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/endless", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/plain", [&](std::size_t, httplib::DataSink& sink) {
                    const auto deadline = Clock::now() + 10s;
                    while (Clock::now() < deadline && write(sink, "tick\n")) {
                        std::this_thread::sleep_for(5ms);
                    }
                    std::lock_guard lock(mutex);
                    write_failed = Clock::now() < deadline;
                    changed.notify_all();
                    return false;
                });
        });
    });

    {
        auto stream = http::ResponseStream::open(get(server.url("/endless")));
        EXPECT_EQ(stream.next_line(), "tick");
        EXPECT_EQ(stream.next_line(), "tick");
    }
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return write_failed; }))
        << "the server kept writing to a dropped stream";
}

TEST(Http, SendsMethodHeadersAndBody) {
    std::mutex mutex;
    std::vector<std::string> seen;
    LoopbackServer server([&](httplib::Server& s) {
        const auto record = [&](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            seen = {req.method, req.body, req.get_header_value("Content-Type"),
                    req.get_header_value("Authorization"), req.get_header_value("X-Trace")};
            res.status = 201;
            res.set_content(R"({"ok":true})", "application/json");
        };
        s.Post("/submit", record);
        s.Put("/submit", record);
    });

    auto request = get(server.url("/submit"));
    request.method = "POST";
    request.body = R"({"model":"tiny"})";
    request.headers = {
        {"Content-Type", "application/json"}, {"Authorization", "Bearer abc"}, {"X-Trace", "42"}};
    const auto response = http::fetch(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, R"({"ok":true})");
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, (std::vector<std::string>{"POST", R"({"model":"tiny"})", "application/json",
                                                  "Bearer abc", "42"}));
    }

    request.method = "PUT";
    request.body = "replaced";
    EXPECT_EQ(http::fetch(request).status, 201);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen.at(0), "PUT");
    EXPECT_EQ(seen.at(1), "replaced");
}

// --- A misbehaving server: what the client keeps is bounded by the request's limits ---------

namespace {

constexpr std::size_t kLimit = 64 << 10;
constexpr std::size_t kErrorLimit = 1 << 10;
constexpr std::size_t kFlood = 32 << 20;  // what a flood sends to a client that reads it all

// Sends `fill` bytes with no newline until kFlood or until the client goes away.
void flood(httplib::Response& res, int status, char fill, std::atomic<std::size_t>& sent) {
    res.status = status;
    res.set_chunked_content_provider("text/plain",
                                     [&sent, fill](std::size_t, httplib::DataSink& sink) {
                                         const std::string block(64 << 10, fill);
                                         while (sent < kFlood) {
                                             if (!write(sink, block)) {
                                                 return false;
                                             }
                                             sent += block.size();
                                         }
                                         sink.done();
                                         return true;
                                     });
}

// The message of the HttpError the read ends with, "" when it ends without one.
std::string failure_of(const std::function<void()>& read) {
    try {
        read();
    } catch (const http::HttpError& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(MisbehavingServer, FailsAtTheLimitsWithTheHttpFailureKind) {
    std::atomic<std::size_t> line_sent{0};
    std::atomic<std::size_t> body_sent{0};
    std::atomic<std::size_t> error_sent{0};
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/endless-line", [&](const httplib::Request&, httplib::Response& res) {
            flood(res, 200, 'x', line_sent);
        });
        s.Get("/huge-body", [&](const httplib::Request&, httplib::Response& res) {
            flood(res, 200, 'y', body_sent);
        });
        s.Get("/huge-error", [&](const httplib::Request&, httplib::Response& res) {
            flood(res, 500, 'z', error_sent);
        });
        s.Get("/echoed-token", [](const httplib::Request& req, httplib::Response& res) {
            res.status = 401;
            res.set_content("rejected Authorization: " + req.get_header_value("Authorization"),
                            "text/plain");
        });
        // Announces 1 MiB, sends 1 KiB, then hangs up.
        s.Get("/lying-length", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(1 << 20, "text/plain",
                                     [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         return offset == 0 && write(sink, std::string(1024, 'l'));
                                     });
        });
        s.Get("/reset", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/plain", [](std::size_t offset, httplib::DataSink& sink) {
                    return offset == 0 && write(sink, "whole line\nhalf a li");
                });
        });
    });
    auto request = [&](const std::string& path) {
        http::Request made = get(server.url(path));
        made.headers = {{"Authorization", "Bearer sk-live-123"}};
        made.max_body = made.max_line = kLimit;
        made.max_error_body = kErrorLimit;
        return made;
    };
    const auto read_lines = [&](const std::string& path) {
        auto stream = http::ResponseStream::open(request(path));
        while (stream.next_line()) {
        }
    };
    struct Case {
        std::string path;
        std::function<void()> read;
        std::string message;
        const std::atomic<std::size_t>* sent;  // for floods: must stop far short of kFlood
    };
    const std::vector<Case> cases = {
        {"/endless-line", [&] { read_lines("/endless-line"); },
         "is longer than the limit of 64 KiB", &line_sent},
        {"/huge-body", [&] { http::fetch(request("/huge-body")); },
         "is larger than the limit of 64 KiB", &body_sent},
        {"/huge-error", [&] { http::fetch(request("/huge-error")); }, "HTTP status 500: zzz",
         &error_sent},
        {"/echoed-token", [&] { http::fetch(request("/echoed-token")); },
         "rejected Authorization: Bearer ***", nullptr},
        {"/lying-length", [&] { http::fetch(request("/lying-length")); }, "failed", nullptr},
        {"/reset", [&] { read_lines("/reset"); }, "failed", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string message = failure_of(c.read);
        EXPECT_THAT(message, ::testing::HasSubstr(c.message));
        EXPECT_THAT(message, ::testing::Not(::testing::HasSubstr("sk-live-123")));
        if (c.sent != nullptr) {
            EXPECT_LT(c.sent->load(), kFlood / 4);
        }
    }
    try {
        http::fetch(request("/huge-error"));
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.body(), std::string(kErrorLimit, 'z'));
    }
}

TEST(MisbehavingServer, AnswerWithManyKeysParsesWholeAndInOrder) {
    constexpr int kKeys = 300'000;
    std::string body = "{";
    for (int i = kKeys; i > 0; --i) {  // descending: an ordering a sorted map would undo
        body += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i > 1 ? "," : "}");
    }
    LoopbackServer server([&](httplib::Server& s) {
        s.Get("/many-keys", [&](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, "application/json");
        });
    });
    const kestrune::Json answer =
        kestrune::parse_answer(http::fetch(get(server.url("/many-keys"))).body);
    ASSERT_EQ(answer.size(), static_cast<std::size_t>(kKeys));
    EXPECT_EQ(answer.begin().key(), "k300000");
    EXPECT_EQ(answer.at("k1"), 1);
    // A repeated key keeps one entry, with the last value.
    EXPECT_EQ(kestrune::parse_answer(R"({"a":1,"b":2,"a":3})").dump(), R"({"a":3,"b":2})");
}
