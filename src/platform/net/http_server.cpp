#include "platform/net/http_server.hpp"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::http_server {

namespace {

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
    httplib::Server server;
    std::thread serving;
    std::mutex stopping;
    int port = 0;
};

Server::Server(const Options& options, ErrorAnswer error_answer) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->error_answer = std::move(error_answer);
    auto& server = impl_->server;
    const int threads = std::max(options.threads, 1);
    server.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    server.set_payload_max_length(options.max_body_bytes);
    server.set_keep_alive_timeout(options.keep_alive_seconds);
    // A stream writes one small chunk per token: Nagle's algorithm would hold each behind the
    // client's delayed acknowledgement of the one before.
    server.set_tcp_nodelay(true);
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
    auto wrapped = [this, handler = std::move(handler)](const httplib::Request& request,
                                                        httplib::Response& response) {
        const Request ours = our_request(request);
        try {
            apply(handler(ours), response);
        } catch (const std::exception& error) {
            apply(impl_->error_answer(ours, 500, error.what()), response);
        }
    };
    // The library takes a pattern; our paths hold no character special to one.
    if (method == "GET") {
        impl_->server.Get(path, wrapped);
    } else if (method == "POST") {
        impl_->server.Post(path, wrapped);
    } else {
        throw InvalidValueError("Unsupported method for a route: " + method);
    }
}

int Server::bind() {
    const auto& options = impl_->options;
    impl_->port =
        options.port == 0
            ? impl_->server.bind_to_any_port(options.host)
            : (impl_->server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (impl_->port <= 0) {
        throw RuntimeFailure("Cannot listen on " + options.host + ":" +
                             std::to_string(options.port));
    }
    return impl_->port;
}

void Server::start() {
    impl_->serving = std::thread([this] { impl_->server.listen_after_bind(); });
    // A stop() before the loop runs would be lost.
    while (!impl_->server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Server::stop() {
    std::lock_guard lock(impl_->stopping);
    impl_->server.stop();
    if (impl_->serving.joinable()) {
        impl_->serving.join();
    }
}

}  // namespace kestrune::platform::http_server
