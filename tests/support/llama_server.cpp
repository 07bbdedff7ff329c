#include "support/llama_server.hpp"

#include <filesystem>
#include <thread>

#include "platform/net/http.hpp"
#include "support/openai_test_server.hpp"

namespace kestrune::testing {

namespace http = platform::http;

namespace {

std::vector<std::string> command_line(int port, const std::string& model,
                                      const std::vector<std::string>& extra) {
    std::vector<std::string> args{LlamaServer::binary,
                                  "-m",
                                  model,
                                  "--host",
                                  "127.0.0.1",
                                  "--port",
                                  std::to_string(port),
                                  "-c",
                                  "512",
                                  "-t",
                                  "1",
                                  "-np",
                                  "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

bool LlamaServer::built() {
    return std::filesystem::exists(binary);
}

LlamaServer::LlamaServer(const std::string& model, const std::vector<std::string>& extra)
    : port_(closed_port()),
      child_(platform::process::Child::start(command_line(port_, model, extra))) {}

bool LlamaServer::ready(std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline && child_.running()) {
        try {
            http::fetch({.method = "GET",
                         .url = url() + "/health",
                         .connect_timeout = std::chrono::seconds(1),
                         .idle_timeout = std::chrono::seconds(5)});
            return true;
        } catch (const http::HttpError&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return false;
}

std::string LlamaServer::post(const std::string& path, const std::string& body) const {
    return http::fetch({.method = "POST",
                        .url = url() + path,
                        .headers = {{"Content-Type", "application/json"}},
                        .body = body})
        .body;
}

}  // namespace kestrune::testing
