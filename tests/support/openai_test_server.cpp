#include "support/openai_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

namespace kestrune::testing {

namespace {

constexpr const char* models_path = "/v1/models";
constexpr const char* chat_path = "/v1/chat/completions";

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
}

OpenAITestServer::OpenAITestServer()
    : loopback_([this](httplib::Server& server) { routes(server); }) {}

OpenAITestServer::~OpenAITestServer() {
    stopping_ = true;
}

void OpenAITestServer::routes(httplib::Server& server) {
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        if (const auto answer = answer_for(request.path)) {
            send(*answer, response);
        } else {
            response.status = 404;
        }
    };
    server.Get(models_path, handle);
    server.Post(chat_path, handle);
    // After routing the body has been read; the answer has not been sent yet.
    server.set_post_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        const std::lock_guard lock(mutex_);
        requests_.push_back({request.method, request.path, request.headers, request.body});
    });
}

std::optional<OpenAITestServer::Answer> OpenAITestServer::answer_for(
    const std::string& path) const {
    const std::lock_guard lock(mutex_);
    return path == models_path ? models_ : chat_;
}

void OpenAITestServer::send(const Answer& answer, httplib::Response& response) {
    response.status = answer.status;
    if (!answer.chunks) {
        response.set_content(answer.body, "application/json");
        return;
    }
    response.set_chunked_content_provider(
        "text/event-stream", [this, answer](std::size_t, httplib::DataSink& sink) {
            for (const auto& chunk : *answer.chunks) {
                if (!sink.write(chunk.data(), chunk.size())) {
                    return false;
                }
            }
            while (answer.stall && !stopping_ && sink.is_writable()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            sink.done();
            return true;
        });
}

std::vector<RecordedRequest> OpenAITestServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void OpenAITestServer::answer_models(const std::string& body, int status) {
    const std::lock_guard lock(mutex_);
    models_ = Answer{.status = status, .body = body, .chunks = std::nullopt, .stall = false};
}

void OpenAITestServer::answer_chat(const std::string& body, int status) {
    const std::lock_guard lock(mutex_);
    chat_ = Answer{.status = status, .body = body, .chunks = std::nullopt, .stall = false};
}

void OpenAITestServer::stream_chat(const std::vector<std::string>& chunks, bool stall) {
    const std::lock_guard lock(mutex_);
    chat_ = Answer{.status = 200, .body = {}, .chunks = chunks, .stall = stall};
}

std::string sse_event(const std::string& json) {
    return "data: " + json + "\n\n";
}

std::string sse_delta(const std::string& content) {
    const nlohmann::json event = {{"choices", {{{"index", 0}, {"delta", {{"content", content}}}}}}};
    return sse_event(event.dump());
}

int closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace kestrune::testing
