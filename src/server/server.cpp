#include "kestrune/server/server.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <iostream>
#include <mutex>
#include <utility>

#include "core/text.hpp"
#include "platform/net/http_server.hpp"
#include "server/answer.hpp"
#include "server/anthropic_api.hpp"
#include "server/door.hpp"
#include "server/embeddings_api.hpp"
#include "server/fields.hpp"
#include "server/metrics.hpp"
#include "server/model_pool.hpp"
#include "server/ollama_api.hpp"
#include "server/openai_api.hpp"
#include "server/operations_api.hpp"
#include "server/responses_api.hpp"
#include "server/web_page.hpp"

namespace kestrune::server {

namespace {

namespace http = platform::http_server;
using Endpoint =
    std::function<http::Response(const http::Request&, const std::shared_ptr<AccessNote>&)>;

bool is_ollama_path(const std::string& path) {
    return path.starts_with("/api/");
}

http::Response error_answer(const http::Request& request, int status, const std::string& message) {
    if (anthropic_api::owns(request.path)) {
        return anthropic_api::error(status, message);
    }
    return is_ollama_path(request.path) ? ollama_api::error(status, message)
                                        : openai_api::error(status, message);
}

}  // namespace

struct Server::Impl {
    ServerOptions options;
    ModelPool pool;
    ServeContext context;
    http::Server http;
    Metrics metrics;
    std::atomic<bool> ready = false;  // the default model loaded
    std::once_flag stopped;
    std::mutex log_mutex;
    int port = 0;

    explicit Impl(ServerOptions given)
        : options(std::move(given)),
          pool({.max_models = options.max_models,
                .allow_pull = options.allow_pull,
                .download_dir = options.download_dir,
                .n_threads = options.n_threads,
                .rpc_workers = options.rpc_workers,
                .models_dirs = options.models_dirs,
                .keep_alive = fields::duration(options.keep_alive),
                .scheduler = {.parallel = options.parallel,
                              .n_ctx = options.n_ctx,
                              .n_batch = 512,
                              .max_queue = options.max_queue,
                              .n_threads = options.n_threads}}),
          context{pool, options.model},
          http(
              {.host = options.host,
               .port = options.port,
               .max_body_bytes = options.max_body_bytes,
               .answer_headers =
                   [this](const http::Request& request) {
                       return door::cors_headers(request, options.allowed_origins);
                   }},
              [this](const http::Request& request, int status, const std::string& message) {
                  // Requests that reached no endpoint (an unknown path, a body too large).
                  log(request, "unrouted", status, {}, std::chrono::steady_clock::now());
                  return error_answer(request, status, message);
              },
              [this](const http::Request& head) { return admission(head); }) {}

    // The page holds no secret: it loads without the key and asks for one on a 401.
    bool page_request(const http::Request& head) const {
        const std::vector<std::string> paths = web_page::paths();
        return options.webui && head.method == "GET" &&
               std::ranges::find(paths, head.path) != paths.end();
    }

    // Asked without a key: the page, a health probe, and a preflight (a browser never sends
    // credentials with one).
    bool open_request(const http::Request& head) const {
        return page_request(head) || head.path == "/health" || head.method == "OPTIONS";
    }

    // The rules every route follows, decided before a body is read.
    std::optional<http::Response> admission(const http::Request& head) {
        std::optional<http::Response> refusal;
        if (!door::host_allowed(head, options.host, options.allowed_hosts)) {
            refusal = error_answer(
                head, 403,
                "this server answers requests for its own address only (see --allow-host)");
        } else if (!door::authorised(head, options.api_key) && !open_request(head)) {
            refusal = error_answer(head, 401, "invalid or missing API key");
        } else if (!door::json_body(head)) {
            refusal = error_answer(head, 415, "the body must be sent as application/json");
        } else if (!ready && !open_request(head)) {
            refusal = error_answer(head, 503, "the default model is still loading; try again");
        }
        if (refusal) {
            log(head, head.path, refusal->status, {}, std::chrono::steady_clock::now());
        }
        return refusal;
    }

    // The access line, and the request counted in the metrics under its route.
    void log(const http::Request& request, const std::string& route, int status,
             const AccessNote& note, std::chrono::steady_clock::time_point began) {
        metrics.count(route, status, note.prompt_tokens, note.tokens);
        if (options.quiet) {
            return;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        std::lock_guard lock(log_mutex);
        std::cerr << door::loggable(request.method) << ' ' << door::loggable(request.path) << ' '
                  << status << ' ' << note.tokens << " tokens " << elapsed.count() << " ms"
                  << std::endl;
    }

    // Wraps an endpoint with the error shapes and the access line.
    // Every route answers a preflight of its own.
    void add(const std::string& method, const std::string& path, Endpoint endpoint) {
        http.route("OPTIONS", path, [](const http::Request&) {
            return http::Response{.status = 204, .content_type = "", .body = {}, .stream = {}};
        });
        http.route(method, path,
                   [this, path, endpoint = std::move(endpoint)](const http::Request& request) {
                       const auto began = std::chrono::steady_clock::now();
                       auto note = std::make_shared<AccessNote>();
                       http::Response response;
                       try {
                           response = endpoint(request, note);
                       } catch (const std::exception& error) {
                           response = error_answer(request, status_for(error), error.what());
                       }
                       if (!response.stream) {
                           log(request, path, response.status, *note, began);
                           return response;
                       }
                       response.stream = [this, request, path, began, note,
                                          status = response.status,
                                          stream = std::move(response.stream)](http::Sink& sink) {
                           stream(sink);
                           log(request, path, status, *note, began);
                       };
                       return response;
                   });
    }

    void add_routes() {
        auto without_body = [](auto answer) {
            return [answer](const http::Request&, const std::shared_ptr<AccessNote>&) {
                return answer();
            };
        };
        add("GET", "/v1/models", without_body([this] { return openai_api::models(context); }));
        add("POST", "/v1/chat/completions", [this](const auto& request, const auto& note) {
            return openai_api::chat_completions(context, request, note);
        });
        add("POST", "/v1/completions", [this](const auto& request, const auto& note) {
            return openai_api::completions(context, request, note);
        });
        add("POST", "/v1/responses", [this](const auto& request, const auto& note) {
            return responses_api::responses(context, request, note);
        });
        add("POST", "/v1/messages", [this](const auto& request, const auto& note) {
            return anthropic_api::messages(context, request, note);
        });
        add("POST", "/v1/messages/count_tokens", [this](const auto& request, const auto&) {
            return anthropic_api::count_tokens(context, request);
        });
        add("POST", "/v1/embeddings", [this](const auto& request, const auto& note) {
            return embeddings_api::openai(context, request, note);
        });
        add("POST", "/api/embed", [this](const auto& request, const auto& note) {
            return embeddings_api::ollama(context, request, note);
        });
        add("POST", "/api/embeddings", [this](const auto& request, const auto& note) {
            return embeddings_api::ollama_legacy(context, request, note);
        });
        add("GET", "/api/version", without_body([] { return ollama_api::version(); }));
        add("GET", "/api/tags", without_body([this] { return ollama_api::tags(context); }));
        add("GET", "/api/ps", without_body([this] { return ollama_api::ps(context); }));
        add("POST", "/api/pull", [this](const auto& request, const auto&) {
            return ollama_api::pull(context, request, options.allow_pull);
        });
        add("DELETE", "/api/delete", [this](const auto& request, const auto&) {
            return ollama_api::remove(context, request);
        });
        add("POST", "/api/show", [this](const auto& request, const auto&) {
            return ollama_api::show(context, request);
        });
        add("POST", "/api/chat", [this](const auto& request, const auto& note) {
            return ollama_api::chat(context, request, note);
        });
        add("POST", "/api/generate", [this](const auto& request, const auto& note) {
            return ollama_api::generate(context, request, note);
        });
        add("GET", "/health", without_body([this] { return operations_api::health(ready); }));
        add("POST", "/tokenize", [this](const auto& request, const auto&) {
            return operations_api::tokenize(context, request);
        });
        add("POST", "/detokenize", [this](const auto& request, const auto&) {
            return operations_api::detokenize(context, request);
        });
        if (options.metrics) {
            add("GET", "/metrics",
                without_body([this] { return operations_api::metrics(metrics, pool); }));
        }
        if (options.webui) {
            for (const std::string& path : web_page::paths()) {
                http.route("GET", path, web_page::answer);
            }
        }
    }
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->add_routes();
}

Server::~Server() {
    stop();
}

void Server::start() {
    impl_->port = impl_->http.bind();
    impl_->http.start();
    if (!impl_->options.model.empty()) {
        try {
            impl_->pool.serve(impl_->options.model);
            impl_->pool.acquire(impl_->options.model);
        } catch (...) {
            impl_->http.stop();
            throw;
        }
    }
    impl_->ready = true;
}

void Server::stop() {
    std::call_once(impl_->stopped, [this] {
        // Streams end first: the HTTP server waits for its handlers.
        impl_->pool.stop();
        impl_->http.stop();
    });
}

std::string Server::address() const {
    return "http://" + impl_->options.host + ":" + std::to_string(impl_->port);
}

std::vector<std::string> Server::model_names() const {
    std::vector<std::string> names;
    for (const KnownModel& known : impl_->pool.known()) {
        names.push_back(known.name);
    }
    return names;
}

int Server::port() const {
    return impl_->port;
}

}  // namespace kestrune::server
