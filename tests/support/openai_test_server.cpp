#include "support/openai_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <utility>

namespace kestrune::testing {

std::string RecordedRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
}

OpenAITestServer::OpenAITestServer() {
    // After routing the body has been read; the answer has not been sent yet.
    server_.set_post_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        const std::lock_guard lock(mutex_);
        requests_.push_back({request.method, request.path, request.headers, request.body});
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

OpenAITestServer::~OpenAITestServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
}

std::string OpenAITestServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<RecordedRequest> OpenAITestServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void OpenAITestServer::answer_models(const std::string& body, int status) {
    server_.Get("/v1/models", [body, status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    });
}

void OpenAITestServer::answer_chat(const std::string& body, int status) {
    server_.Post("/v1/chat/completions",
                 [body, status](const httplib::Request&, httplib::Response& response) {
                     response.status = status;
                     response.set_content(body, "application/json");
                 });
}

void OpenAITestServer::stream_chat(std::vector<std::string> chunks, bool stall) {
    server_.Post("/v1/chat/completions", [this, chunks = std::move(chunks), stall](
                                             const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "text/event-stream", [this, chunks, stall](std::size_t, httplib::DataSink& sink) {
                for (const auto& chunk : chunks) {
                    if (!sink.write(chunk.data(), chunk.size())) {
                        return false;
                    }
                }
                while (stall && !stopping_ && sink.is_writable()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                sink.done();
                return true;
            });
    });
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
