#include "kestrune/backends/remote.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/http.hpp"
#include "support/llama_server.hpp"
#include "support/openai_test_server.hpp"
#include "support/test_models.hpp"

namespace kestrune::backends {
namespace {

using testing::LlamaServer;
using testing::OpenAITestServer;
using testing::sse_delta;
namespace http = platform::http;

constexpr const char* kKey = "sk-test-secret-42";

std::string closed_url() {
    return "http://127.0.0.1:" + std::to_string(testing::closed_port());
}

TEST(RemoteBackend, DetectCountsTheServersModels) {
    OpenAITestServer server;
    server.answer_models(R"({"object":"list","data":[{"id":"a"},{"id":"b"}]})");
    RemoteBackend remote(server.url() + "//");
    EXPECT_EQ(remote.detect(), (BackendInfo{.name = "remote",
                                            .version = "api",
                                            .available = true,
                                            .models_count = 2,
                                            .details = "Remote API at " + server.url()}));
    EXPECT_EQ(server.requests().at(0).path, "/v1/models");

    OpenAITestServer without_data;
    without_data.answer_models(R"({"object":"list"})");
    const BackendInfo info = RemoteBackend(without_data.url()).detect();
    EXPECT_TRUE(info.available);
    EXPECT_EQ(info.models_count, 0);
}

TEST(RemoteBackend, DetectReportsNoApiOnEveryFailure) {
    const std::string url = closed_url();
    EXPECT_EQ(RemoteBackend(url + "/").detect(), (BackendInfo{.name = "remote",
                                                              .version = "",
                                                              .available = false,
                                                              .models_count = 0,
                                                              .details = "No API at " + url}));

    for (const auto& [body, status] : std::vector<std::pair<std::string, int>>{
             {R"({"error":"unauthorized"})", 401}, {"<html>", 200}, {"[1,2]", 200}}) {
        OpenAITestServer server;
        server.answer_models(body, status);
        const BackendInfo info = RemoteBackend(server.url()).detect();
        EXPECT_FALSE(info.available) << body;
        EXPECT_EQ(info.details, "No API at " + server.url());
    }
}

TEST(RemoteBackend, SendsTheKeyOnlyInTheAuthorizationHeader) {
    OpenAITestServer server;
    server.answer_models(R"({"data":[]})");
    server.answer_chat(R"({"choices":[{"message":{"role":"assistant","content":"ok"}}]})");

    RemoteBackend anonymous(server.url());
    anonymous.detect();
    RemoteBackend keyed(server.url(), kKey);
    keyed.detect();
    keyed.load("m", {});
    EXPECT_EQ(keyed.chat({{"user", "hi"}}, {}), "ok");
    OpenAITestServer streaming;
    streaming.stream_chat({sse_delta("One")});
    EXPECT_EQ(RemoteBackend(streaming.url(), kKey).stream({{"user", "count"}}, {}).collect(),
              "One");

    auto requests = server.requests();
    requests.push_back(streaming.requests().at(0));
    ASSERT_EQ(requests.size(), 4U);
    EXPECT_FALSE(requests[0].has_header("Authorization"));
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].header("Authorization"), std::string("Bearer ") + kKey);
        EXPECT_EQ(requests[i].header("Content-Type"), "application/json");
        EXPECT_EQ(requests[i].body.find(kKey), std::string::npos);
    }
}

TEST(RemoteBackend, ChatFailuresReachTheCallerWithoutTheKey) {
    OpenAITestServer server;
    server.answer_chat(R"({"error":{"message":"Invalid API key"}})", 401);
    RemoteBackend remote(server.url(), kKey);
    try {
        remote.chat({{"user", "hi"}}, {});
        FAIL() << "an error status must fail chat";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 401);
        EXPECT_NE(error.body().find("Invalid API key"), std::string::npos);
        EXPECT_EQ(std::string(error.what()).find(kKey), std::string::npos);
    }

    EXPECT_THROW(RemoteBackend(closed_url(), kKey).chat({{"user", "hi"}}, {}), http::Unreachable);
}

TEST(RemoteBackend, ModelChoiceIsLocal) {
    RemoteBackend remote(closed_url());
    EXPECT_EQ(remote.name(), "remote");
    EXPECT_EQ(remote.pull("org/model", [](auto, auto) { FAIL(); }), "org/model");
    EXPECT_FALSE(remote.is_loaded());
    remote.load("org/model", {.n_ctx = 99});
    EXPECT_TRUE(remote.is_loaded());
    EXPECT_EQ(remote.stats().model_name, "org/model");
    remote.unload();
    EXPECT_FALSE(remote.is_loaded());
    EXPECT_EQ(remote.stats().model_name, "");
}

TEST(RemoteBackendWithLlamaServer, StreamsTheSameGreedyAnswerAsChat) {
    if (!LlamaServer::built()) {
        GTEST_SKIP() << "llama-server was not built at " << LlamaServer::binary;
    }
    const std::string model = testing::tiny_chat_model();
    if (!std::filesystem::exists(model)) {
        GTEST_SKIP() << "the tiny test model was not generated at " << model;
    }
    LlamaServer server(model, {"--alias", "tiny-chat"});
    ASSERT_TRUE(server.ready(std::chrono::seconds(60))) << "llama-server did not come up";

    RemoteBackend remote(server.url() + "/");
    const BackendInfo info = remote.detect();
    EXPECT_TRUE(info.available);
    EXPECT_EQ(info.models_count, 1);
    const auto models = remote.list_models();
    ASSERT_EQ(models.size(), 1U);
    EXPECT_EQ(models[0].name, "tiny-chat");

    remote.load(models[0].name, {});
    const Messages messages{{"user", "Tell me about the model"}};
    const GenerationConfig greedy{.max_tokens = 24, .temperature = 0.0};
    const std::string answer = remote.chat(messages, greedy);
    EXPECT_FALSE(answer.empty());

    std::vector<std::string> pieces;
    for (const auto& piece : remote.stream(messages, greedy)) {
        pieces.push_back(piece);
    }
    EXPECT_GT(pieces.size(), 1U) << "the answer arrives in several pieces";
    std::string streamed;
    for (const auto& piece : pieces) {
        streamed += piece;
    }
    EXPECT_EQ(streamed, answer);
}

}  // namespace
}  // namespace kestrune::backends
