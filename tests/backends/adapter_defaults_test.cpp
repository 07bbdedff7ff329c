// Every adapter called as BackendAdapter documents it, with the arguments left to their
// defaults. An override does not inherit the base's default arguments: without the adapter
// restating them, these calls do not compile; with other values, the requests show it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "kestrune/backends/huggingface.hpp"
#include "kestrune/backends/lmstudio.hpp"
#include "kestrune/backends/ollama.hpp"
#include "kestrune/backends/remote.hpp"
#include "kestrune/backends/vllm.hpp"
#include "kestrune/core/errors.hpp"
#include "support/fake_hub.hpp"
#include "support/fake_programs.hpp"
#include "support/loopback_server.hpp"
#include "support/openai_test_server.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"

namespace kestrune::backends {
namespace {

using testing::OpenAITestServer;
using testing::ScopedEnv;

const Messages kHello = {{"user", "hello"}};
const GenerationConfig kDefaultConfig;
const LoadOptions kDefaultLoad;

// The body of the last request to `path`.
Json last_body(const OpenAITestServer& server, const std::string& path) {
    const auto requests = server.requests();
    for (auto request = requests.rbegin(); request != requests.rend(); ++request) {
        if (request->path == path) {
            return Json::parse(request->body);
        }
    }
    ADD_FAILURE() << "no request to " << path;
    return {};
}

// An OpenAI-compatible server that lists the model "m" and answers every chat with "ok", whole
// or streamed. Only one of the two can be set at a time: chats of each kind go to their own.
struct OpenAIServers {
    OpenAITestServer whole;
    OpenAITestServer streamed;

    OpenAIServers() {
        for (OpenAITestServer* server : {&whole, &streamed}) {
            server->answer_models(R"({"data":[{"id":"m"}]})");
        }
        whole.answer_chat(R"({"choices":[{"message":{"role":"assistant","content":"ok"}}]})");
        streamed.stream_chat({testing::sse_delta("ok"), "data: [DONE]\n\n"});
    }
};

// Loads "m", then chats and streams with the defaults, on `whole` and then on `streamed`.
template <typename Adapter>
void chat_with_defaults(Adapter& adapter, Adapter& streaming, const OpenAIServers& servers) {
    adapter.load("m");
    EXPECT_EQ(adapter.chat(kHello), "ok");
    const Json body = last_body(servers.whole, "/v1/chat/completions");
    EXPECT_EQ(body["model"], "m");
    EXPECT_EQ(body["max_tokens"], kDefaultConfig.max_tokens);
    EXPECT_EQ(body["temperature"], kDefaultConfig.temperature);
    streaming.load("m");
    EXPECT_EQ(streaming.stream(kHello).collect(), "ok");
    EXPECT_EQ(last_body(servers.streamed, "/v1/chat/completions")["max_tokens"],
              kDefaultConfig.max_tokens);
}

TEST(AdapterDefaults, OpenAICompatibleAdapters) {
    const OpenAIServers servers;
    testing::TempHome home;
    const testing::FakePrograms programs;
    programs.add("lms", "exit 0");
    programs.add("vllm", "exit 0");

    RemoteBackend remote(servers.whole.url());
    RemoteBackend remote_streaming(servers.streamed.url());
    EXPECT_EQ(remote.pull("m"), "m");
    chat_with_defaults(remote, remote_streaming, servers);

    LMStudioBackend lmstudio(servers.whole.url());
    LMStudioBackend lmstudio_streaming(servers.streamed.url());
    EXPECT_EQ(lmstudio.pull("m"), "m");
    chat_with_defaults(lmstudio, lmstudio_streaming, servers);

    // The server already lists "m": load starts no `vllm serve`.
    VLLMBackend vllm(servers.whole.url());
    VLLMBackend vllm_streaming(servers.streamed.url());
    EXPECT_EQ(vllm.pull("m"), "m");
    chat_with_defaults(vllm, vllm_streaming, servers);
    EXPECT_EQ(vllm.server_process(), nullptr);
}

// Ollama's API: what each route was sent, and fixed answers.
class OllamaServer {
  public:
    OllamaServer()
        : loopback_([this](httplib::Server& server) {
              server.Post("/api/pull",
                          [this](const httplib::Request& request, httplib::Response& response) {
                              record(request);
                              response.set_content(R"({"status":"success"})", "application/json");
                          });
              server.Post("/api/generate", [this](const httplib::Request& request,
                                                  httplib::Response& response) {
                  record(request);
                  response.set_content(R"({"response":"","done":true})", "application/json");
              });
              server.Post("/api/chat",
                          [this](const httplib::Request& request, httplib::Response& response) {
                              record(request);
                              response.set_content(R"({"message":{"content":"ok"},"done":true})",
                                                   "application/x-ndjson");
                          });
          }) {}

    std::string url() const { return loopback_.base_url(); }
    Json last_body(const std::string& path) const {
        std::lock_guard lock(mutex_);
        for (auto sent = sent_.rbegin(); sent != sent_.rend(); ++sent) {
            if (sent->first == path) {
                return Json::parse(sent->second);
            }
        }
        ADD_FAILURE() << "no request to " << path;
        return {};
    }

  private:
    void record(const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        sent_.emplace_back(request.path, request.body);
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> sent_;
    testing::LoopbackServer loopback_;  // last: it stops serving before the state above goes
};

TEST(AdapterDefaults, Ollama) {
    const OllamaServer server;
    OllamaBackend ollama(server.url());
    EXPECT_EQ(ollama.pull("m"), "m");
    ollama.load("m");
    EXPECT_EQ(server.last_body("/api/generate")["options"]["num_ctx"], kDefaultLoad.n_ctx);
    EXPECT_EQ(ollama.chat(kHello), "ok");
    const Json options = server.last_body("/api/chat")["options"];
    EXPECT_EQ(options["num_predict"], kDefaultConfig.max_tokens);
    EXPECT_EQ(options["temperature"], kDefaultConfig.temperature);
    EXPECT_EQ(ollama.stream(kHello).collect(), "ok");
}

TEST(AdapterDefaults, HuggingFace) {
    testing::FakeHub hub;
    hub.add_file("user/tiny", "config.json", "{}");
    const testing::TempDir cache;
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const ScopedEnv home("HF_HOME", cache.str());
    HuggingFaceBackend huggingface;
    EXPECT_TRUE(huggingface.pull("user/tiny").starts_with(cache.str()));
    // Nothing is loaded: generation fails the documented way, whatever Python offers.
    EXPECT_THROW(huggingface.chat(kHello), RuntimeFailure);
    // Without transformers load names what to install; with it, the model is not one.
    EXPECT_THROW(huggingface.load("user/no-such-model"), Error);
}

}  // namespace
}  // namespace kestrune::backends
