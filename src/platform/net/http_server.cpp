#include "platform/net/http_server.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "kestrune/core/errors.hpp"
#include "platform/net/http_connection.hpp"

namespace kestrune::platform::http_server {

namespace {

using Clock = std::chrono::steady_clock;

// Whether the connection the current thread serves came past the connection cap.
thread_local bool refused_connection = false;

bool same_without_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

Request our_request(const httplib::Request& request) {
    Request ours{
        .method = request.method, .path = request.path, .body = request.body, .headers = {}};
    for (const auto& [name, value] : request.headers) {
        ours.headers.emplace_back(name, value);
    }
    return ours;
}

class DataSinkWriter : public Sink {
  public:
    explicit DataSinkWriter(httplib::DataSink& sink) : sink_(sink) {}
    bool write(std::string_view data) override {
        if (!open_) {
            return false;
        }
        open_ = sink_.is_writable() && sink_.write(data.data(), data.size());
        return open_;
    }

  private:
    httplib::DataSink& sink_;
    bool open_ = true;
};

void apply(const Response& ours, httplib::Response& response) {
    response.status = ours.status;
    for (const auto& [name, value] : ours.headers) {
        response.set_header(name, value);
    }
    if (!ours.stream && ours.body.empty() && ours.content_type.empty()) {
        return;  // no content at all (a 204)
    }
    if (!ours.stream && response.has_header("Content-Encoding")) {
        // A body of known length goes out untouched; set_content would compress it again.
        response.set_content_provider(
            ours.body.size(), ours.content_type,
            [body = ours.body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return sink.write(body.data() + offset, length);
            });
        return;
    }
    if (!ours.stream) {
        response.set_content(ours.body, ours.content_type.c_str());
        return;
    }
    response.set_chunked_content_provider(
        ours.content_type, [stream = ours.stream](std::size_t, httplib::DataSink& sink) {
            DataSinkWriter writer(sink);
            stream(writer);
            sink.done();
            return true;
        });
}

// One thread per connection up to `most`: a client that opens a connection and sends nothing
// holds its own thread until the keep-alive time-out, never a place another client waits for.
// Connections past the cap run on a few threads of their own, where every request is answered
// 503.
class ConnectionThreads : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(std::size_t most) : most_(std::max<std::size_t>(most, 1)) {}

    void enqueue(std::function<void()> connection) override {
        std::lock_guard lock(mutex_);
        if (serving_ < most_) {
            ++serving_;
            std::thread([this, connection = std::move(connection)]() mutable {
                run(std::move(connection), false);
            }).detach();
            return;
        }
        refused_.push_back(std::move(connection));
        if (refusing_ < kRefusers) {
            ++refusing_;
            std::thread([this] { refuse_waiting(); }).detach();
        }
    }

    // Returns once every connection has ended (the server closes them as it stops).
    void shutdown() override {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return serving_ == 0 && refusing_ == 0; });
    }

  private:
    static constexpr std::size_t kRefusers = 8;

    void run(std::function<void()> connection, bool refused) {
        refused_connection = refused;
        connection();
        connection = nullptr;
        std::lock_guard lock(mutex_);
        --serving_;
        idle_.notify_all();
    }

    void refuse_waiting() {
        refused_connection = true;
        std::unique_lock lock(mutex_);
        while (!refused_.empty()) {
            auto connection = std::move(refused_.front());
            refused_.pop_front();
            lock.unlock();
            connection();
            connection = nullptr;
            lock.lock();
        }
        --refusing_;
        idle_.notify_all();
    }

    const std::size_t most_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t serving_ = 0;
    std::size_t refusing_ = 0;
    std::deque<std::function<void()>> refused_;
};

// What became of reading a body.
enum class BodyRead { whole, too_large, too_slow, broken };

// Reads a body as it arrives, decoded, keeping it only when `keep`, and giving up past
// `most` bytes or once `deadline` has passed.
BodyRead read_body(const httplib::Request& request, const httplib::ContentReader& reader,
                   std::size_t most, Clock::time_point deadline, bool keep, std::string& body) {
    std::size_t received = 0;
    BodyRead result = BodyRead::whole;
    const bool read = reader([&](const char* data, std::size_t size) {
        received += size;
        if (received > most) {
            result = BodyRead::too_large;
        } else if (Clock::now() > deadline) {
            result = BodyRead::too_slow;
        } else if (keep) {
            body.append(data, size);
        }
        return result == BodyRead::whole;
    });
    // The library refuses a declared length past the cap before passing on any of it.
    if (!read && result == BodyRead::whole) {
        const bool declared_too_large = request.get_header_value<std::uint64_t>("Content-Length") >
                                        static_cast<std::uint64_t>(most);
        return declared_too_large ? BodyRead::too_large : BodyRead::broken;
    }
    return result;
}

bool encoded(const httplib::Request& request) {
    const std::string encoding = request.get_header_value("Content-Encoding");
    return !encoding.empty() && !same_without_case(encoding, "identity");
}

}  // namespace

std::optional<std::string> Request::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (same_without_case(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct Server::Impl {
    Options options;
    ErrorAnswer error_answer;
    Admission admission;
    ConnectionServer server;
    std::thread serving;
    std::mutex stopping;
    int port = 0;

    httplib::Server::Handler with_head(Handler handler) {
        return [this, handler = std::move(handler)](const httplib::Request& request,
                                                    httplib::Response& response) {
            const Request ours = our_request(request);
            if (auto refusal = admission ? admission(ours) : std::nullopt) {
                apply(*refusal, response);
                return;
            }
            answer(ours, handler, response);
        };
    }

    // The head is judged first; a refused request's body is read only to be dropped, so that
    // it is never taken for the next request on the connection.
    httplib::Server::HandlerWithContentReader with_body(Handler handler) {
        return [this, handler = std::move(handler)](const httplib::Request& request,
                                                    httplib::Response& response,
                                                    const httplib::ContentReader& reader) {
            Request ours = our_request(request);
            std::optional<Response> refusal;
            if (encoded(request)) {
                refusal = error_answer(ours, 415, "the body must not be compressed");
            } else if (admission) {
                refusal = admission(ours);
            }
            const auto deadline = Clock::now() + std::chrono::seconds(options.body_seconds);
            const BodyRead read =
                read_body(request, reader, options.max_body_bytes, deadline, !refusal, ours.body);
            if (!refusal && read == BodyRead::too_large) {
                refusal = error_answer(ours, 413, "request body too large");
            } else if (!refusal && read == BodyRead::too_slow) {
                refusal = error_answer(ours, 408,
                                       "the body took longer than " +
                                           std::to_string(options.body_seconds) + " s to arrive");
            } else if (!refusal && read == BodyRead::broken) {
                refusal = error_answer(ours, 400, "the body could not be read");
            }
            if (refusal) {
                apply(*refusal, response);
                return;
            }
            answer(ours, handler, response);
        };
    }

    void answer(const Request& request, const Handler& handler, httplib::Response& response) {
        try {
            apply(handler(request), response);
        } catch (const std::exception& error) {
            apply(error_answer(request, 500, error.what()), response);
        }
    }

    // A body sent to no route is still read (capped, and thrown away) before the 404.
    void answer_unrouted_bodies() {
        auto unrouted = [this](const httplib::Request& request, httplib::Response& response,
                               const httplib::ContentReader& reader) {
            std::string dropped;
            read_body(request, reader, options.max_body_bytes,
                      Clock::now() + std::chrono::seconds(options.body_seconds), false, dropped);
            apply(error_answer(our_request(request), 404, "not found: " + request.path), response);
        };
        server.Post(".*", unrouted);
        server.Put(".*", unrouted);
        server.Patch(".*", unrouted);
    }
};

Server::Server(const Options& options, ErrorAnswer error_answer, Admission admission)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->error_answer = std::move(error_answer);
    impl_->admission = std::move(admission);
    auto& server = impl_->server;
    server.new_task_queue = [most = options.max_connections] {
        return new ConnectionThreads(most);
    };
    // Past the cap a body is never read at all.
    server.set_payload_max_length(options.max_body_bytes);
    server.set_keep_alive_timeout(options.keep_alive_seconds);
    server.set_head_timeout(std::chrono::seconds(options.head_seconds));
    // A stream writes one small chunk per token: Nagle's algorithm would hold each behind the
    // client's delayed acknowledgement of the one before.
    server.set_tcp_nodelay(true);
    // The library's default also sets SO_REUSEPORT, which lets a second server listen on a
    // port already served.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (!refused_connection) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            apply(impl_->error_answer(our_request(request), 503,
                                      "the server has too many connections open; try again"),
                  response);
            return httplib::Server::HandlerResponse::Handled;
        });
    if (options.answer_headers) {
        server.set_post_routing_handler([this](const httplib::Request& request,
                                               httplib::Response& response) {
            for (const auto& [name, value] : impl_->options.answer_headers(our_request(request))) {
                response.set_header(name, value);
            }
        });
    }
    // Only answers that carry no body yet (an unknown path, an oversized body) get one here.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            const std::string message = response.status == 413   ? "request body too large"
                                        : response.status == 404 ? "not found: " + request.path
                                                                 : "bad request";
            apply(impl_->error_answer(our_request(request), response.status, message), response);
            return httplib::Server::HandlerResponse::Handled;
        }));
}

Server::~Server() {
    stop();
}

void Server::route(const std::string& method, const std::string& path, Handler handler) {
    // The library takes a pattern; our paths hold no character special to one.
    if (method == "GET") {
        impl_->server.Get(path, impl_->with_head(std::move(handler)));
    } else if (method == "OPTIONS") {
        impl_->server.Options(path, impl_->with_head(std::move(handler)));
    } else if (method == "POST") {
        impl_->server.Post(path, impl_->with_body(std::move(handler)));
    } else if (method == "DELETE") {
        impl_->server.Delete(path, impl_->with_body(std::move(handler)));
    } else {
        throw InvalidValueError("Unsupported method for a route: " + method);
    }
}

int Server::bind() {
    const auto& options = impl_->options;
    errno = 0;
    impl_->port =
        options.port == 0
            ? impl_->server.bind_to_any_port(options.host)
            : (impl_->server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (impl_->port <= 0) {
        const std::string address = options.host + ":" + std::to_string(options.port);
        throw RuntimeFailure(errno == EADDRINUSE
                                 ? "address " + address + " is in use"
                                 : "cannot listen on " + address + ": " + std::strerror(errno));
    }
    return impl_->port;
}

void Server::start() {
    // Registered last: the library tries routes in the order they were added.
    impl_->answer_unrouted_bodies();
    impl_->serving = std::thread([this] { impl_->server.listen_after_bind(); });
    // A stop() before the loop runs would be lost.
    while (!impl_->server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string Server::answer_bytes(std::string_view raw) {
    return impl_->server.answer_bytes(raw);
}

void Server::stop() {
    std::lock_guard lock(impl_->stopping);
    impl_->server.stop();
    if (impl_->serving.joinable()) {
        impl_->serving.join();
    }
}

}  // namespace kestrune::platform::http_server
