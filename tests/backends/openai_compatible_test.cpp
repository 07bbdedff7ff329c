// The cases the three adapters over an OpenAI-compatible server share, run against each.
#include "kestrune/backends/openai_compatible.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/backends/lmstudio.hpp"
#include "kestrune/backends/remote.hpp"
#include "kestrune/backends/vllm.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/http.hpp"
#include "support/fake_programs.hpp"
#include "support/openai_test_server.hpp"
#include "support/temp_home.hpp"

namespace kestrune::backends {
namespace {

using namespace std::chrono_literals;
using testing::OpenAITestServer;
using testing::sse_delta;
namespace http = platform::http;

// What sets the adapters apart in these cases.
template <typename Backend>
struct Adapter;

template <>
struct Adapter<LMStudioBackend> {
    static constexpr const char* name = "lmstudio";
    static constexpr bool broken_events_fail = false;
    static LMStudioBackend make(const std::string& url, OpenAICompatibleTimeouts server = {}) {
        return LMStudioBackend(url, {.server = server});
    }
};

template <>
struct Adapter<VLLMBackend> {
    static constexpr const char* name = "vllm";
    static constexpr bool broken_events_fail = true;
    static VLLMBackend make(const std::string& url, OpenAICompatibleTimeouts server = {}) {
        return VLLMBackend(url, 0ms, {.server = server});
    }
};

template <>
struct Adapter<RemoteBackend> {
    static constexpr const char* name = "remote";
    static constexpr bool broken_events_fail = false;
    static RemoteBackend make(const std::string& url, OpenAICompatibleTimeouts server = {}) {
        return RemoteBackend(url, "", server);
    }
};

std::string closed_url() {
    return "http://127.0.0.1:" + std::to_string(testing::closed_port());
}

// An empty home and fake programs that do nothing, so no installation on the machine answers.
template <typename Backend>
class OpenAICompatibleTest : public ::testing::Test {
  protected:
    OpenAICompatibleTest() {
        programs_.add("lms", "exit 0");
        programs_.add("vllm", "exit 0");
    }

    // Loads a model the server lists, so vLLM starts no server of its own.
    static void load_listed(Backend& backend, OpenAITestServer& server, const std::string& model) {
        server.answer_models(R"({"data":[{"id":")" + model + R"("}]})");
        backend.load(model, {});
    }

    testing::TempHome home_;
    testing::FakePrograms programs_;
};

using Adapters = ::testing::Types<LMStudioBackend, VLLMBackend, RemoteBackend>;
TYPED_TEST_SUITE(OpenAICompatibleTest, Adapters);

TYPED_TEST(OpenAICompatibleTest, ChatSendsAsciiBodyInOrderAndReturnsTheContent) {
    OpenAITestServer server;
    server.answer_chat(
        R"({"choices":[{"message":{"role":"assistant","content":"Gr\u00fc\u00df"}}]})");
    auto backend = Adapter<TypeParam>::make(server.url() + "/");
    EXPECT_EQ(backend.chat({{"user", "caf\xc3\xa9 \xf0\x9f\x98\x80"}}, {}), "Gr\xc3\xbc\xc3\x9f");

    this->load_listed(backend, server, "tiny");
    backend.chat({{{"role", "system"}, {"content", "be brief"}, {"name", "x"}}},
                 GenerationConfig{.max_tokens = 16, .temperature = 0.0});
    std::vector<testing::RecordedRequest> chats;
    for (const auto& request : server.requests()) {
        if (request.path != "/v1/models") {
            chats.push_back(request);
        }
    }
    ASSERT_EQ(chats.size(), 2U);
    EXPECT_EQ(chats[0].method, "POST");
    EXPECT_EQ(chats[0].path, "/v1/chat/completions");
    EXPECT_EQ(chats[0].header("Content-Type"), "application/json");
    EXPECT_FALSE(chats[0].has_header("Authorization"));
    EXPECT_EQ(chats[0].body,
              R"({"model":"","messages":[{"role":"user","content":"caf\u00e9 \ud83d\ude00"}],)"
              R"("max_tokens":512,"temperature":0.7,"stream":false})");
    EXPECT_EQ(chats[1].body,
              R"({"model":"tiny","messages":[{"role":"system","content":"be brief","name":"x"}],)"
              R"("max_tokens":16,"temperature":0.0,"stream":false})");
}

TYPED_TEST(OpenAICompatibleTest, ChatFailuresReachTheCaller) {
    OpenAITestServer refusing;
    refusing.answer_chat(R"({"error":"model not loaded"})", 400);
    try {
        Adapter<TypeParam>::make(refusing.url()).chat({{"user", "hi"}}, {});
        FAIL() << "an error status must fail chat";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 400);
        EXPECT_NE(error.body().find("model not loaded"), std::string::npos);
    }
    EXPECT_THROW(Adapter<TypeParam>::make(closed_url()).chat({{"user", "hi"}}, {}),
                 http::Unreachable);

    for (const auto& [body, invalid_json] : std::vector<std::pair<std::string, bool>>{
             {"not json", true},
             {R"({"choices":[]})", false},
             {R"({"choices":[{"index":0}]})", false},
             {R"({"choices":[{"message":{"role":"assistant"}}]})", false}}) {
        OpenAITestServer odd;
        odd.answer_chat(body);
        auto backend = Adapter<TypeParam>::make(odd.url());
        if (invalid_json) {
            EXPECT_THROW(backend.chat({{"user", "hi"}}, {}), InvalidValueError) << body;
        } else {
            EXPECT_THROW(backend.chat({{"user", "hi"}}, {}), RuntimeFailure) << body;
        }
    }

    OpenAITestServer null_content;
    null_content.answer_chat(R"({"choices":[{"message":{"content":null}}]})");
    EXPECT_EQ(Adapter<TypeParam>::make(null_content.url()).chat({{"user", "hi"}}, {}), "");
}

TYPED_TEST(OpenAICompatibleTest, StreamYieldsTheDeltasAndTreatsBrokenEventsAsTheAdapterDoes) {
    OpenAITestServer server;
    auto backend = Adapter<TypeParam>::make(server.url());
    this->load_listed(backend, server, "m");
    server.stream_chat({"event: start\n\n", sse_delta("One"), ": ping\n\n",
                        R"(data: {"choices":[{"delta":{}}]})"
                        "\n\n",
                        "data: [DONE]\n\n", sse_delta(" two"), "data: {oops\n\n", sse_delta("!"),
                        R"(data: {"choices":[]})"
                        "\n\n",
                        sse_delta("never")});
    const std::size_t before = server.requests().size();
    TextStream stream = backend.stream({{"user", "count"}}, {});
    EXPECT_EQ(server.requests().size(), before) << "nothing is sent before the first pull";
    EXPECT_EQ(stream.next(), "One");
    EXPECT_EQ(stream.next(), " two");
    if (Adapter<TypeParam>::broken_events_fail) {
        EXPECT_THROW(stream.next(), InvalidValueError);
    } else {
        EXPECT_EQ(stream.next(), "!");
        EXPECT_THROW(stream.next(), RuntimeFailure) << "an event without choices";
    }

    const auto request = server.requests().at(before);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, R"({"model":"m","messages":[{"role":"user","content":"count"}],)"
                            R"("max_tokens":512,"temperature":0.7,"stream":true})");
}

TYPED_TEST(OpenAICompatibleTest, StreamGivesUpOnASilentServerAfterTheChatTimeout) {
    OpenAITestServer server;
    server.stream_chat({sse_delta("first")}, /*stall=*/true);
    auto backend = Adapter<TypeParam>::make(server.url(), {.chat = 300ms});
    TextStream stream = backend.stream({{"user", "hi"}}, {});
    EXPECT_EQ(stream.next(), "first");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(stream.next(), http::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TYPED_TEST(OpenAICompatibleTest, ListModelsNamesEachListedModelInOrder) {
    OpenAITestServer server;
    server.answer_models(R"({"data":[{"id":"qwen2.5-7b-instruct"},{"id":"phi-3"}]})");
    auto backend = Adapter<TypeParam>::make(server.url() + "/");
    const auto models = backend.list_models();
    ASSERT_EQ(models.size(), 2U);
    EXPECT_EQ(models[0].name, "qwen2.5-7b-instruct");
    EXPECT_EQ(models[0].backend, Adapter<TypeParam>::name);
    EXPECT_EQ(models[0].path, "");
    EXPECT_EQ(models[1].name, "phi-3");
    EXPECT_EQ(models[1].backend, Adapter<TypeParam>::name);
    EXPECT_EQ(server.requests().at(0).method, "GET");
    EXPECT_EQ(server.requests().at(0).path, "/v1/models");

    OpenAITestServer empty;
    empty.answer_models(R"({"data":[]})");
    EXPECT_TRUE(Adapter<TypeParam>::make(empty.url()).list_models().empty());
}

// LM Studio falls back to its model cache instead; these two list all or nothing.
template <typename Backend>
class AllOrNothingListingTest : public OpenAICompatibleTest<Backend> {};

using AllOrNothingAdapters = ::testing::Types<VLLMBackend, RemoteBackend>;
TYPED_TEST_SUITE(AllOrNothingListingTest, AllOrNothingAdapters);

TYPED_TEST(AllOrNothingListingTest, AnyFailureGivesAnEmptyList) {
    for (const std::string body :
         {R"({"data":[{"id":"llama-3"},{"object":"model"}]})", R"({"data":[{"id":"x"},{}]})",
          "{\"data\": [", R"({"data":{"id":"x"}})"}) {
        OpenAITestServer server;
        server.answer_models(body);
        EXPECT_TRUE(Adapter<TypeParam>::make(server.url()).list_models().empty()) << body;
    }
    EXPECT_TRUE(Adapter<TypeParam>::make(closed_url()).list_models().empty());
}

}  // namespace
}  // namespace kestrune::backends
