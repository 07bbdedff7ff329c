// The tool loop of `kestrune run --tools`, on a real generated model's real chat template:
// recorded replies are read through the real reply parser, and the web search tool asks a
// local instant-answer server.
#include "tool_loop.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "kestrune/backends/native.hpp"
#include "kestrune/tools/search.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/chat_template.hpp"
#include "platform/python/python.hpp"
#include "support/loopback_server.hpp"
#include "support/test_models.hpp"

namespace kestrune::cli {
namespace {

using nlohmann::json;

// A local instant-answer API that keeps the queries asked.
class SearchServer {
  public:
    std::string endpoint() const { return server_.url("/"); }
    std::vector<std::string> queries() const {
        std::lock_guard lock(mutex_);
        return queries_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> queries_;
    testing::LoopbackServer server_{[this](httplib::Server& server) {
        server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            queries_.push_back(request.get_param_value("q"));
            response.set_content(
                R"({"Heading": "llama.cpp", "Abstract": "LLM inference in C/C++.",)"
                R"( "AbstractURL": "https://github.com/ggml-org/llama.cpp", "RelatedTopics": []})",
                "application/json");
        });
    }};
};

constexpr const char* kResult =
    "1. llama.cpp\n   LLM inference in C/C++.\n   URL: https://github.com/ggml-org/llama.cpp";

const Messages kQuestion = {{"user", "What is llama.cpp?"}};

// Gemma 4's template (it offers tools and reads calls in its own markup), its replies recorded
// in that markup.
class ToolLoop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        model_ = std::make_unique<platform::llama::Llama>(
            platform::llama::Params{.model_path = testing::vocab_model("gemma-4"),
                                    .n_ctx = 512,
                                    .n_threads = 1,
                                    .verbose = false});
    }
    static void TearDownTestSuite() { model_.reset(); }

    void SetUp() override { tools.add(std::make_unique<tools::WebSearchTool>(search.endpoint())); }

    // Replies with the recorded texts in turn (the last one again once they run out), each
    // read as the model's reply to the conversation it is given, the tools offered.
    ReplyFunction recorded(std::vector<std::string> texts) {
        return [this, texts](const Messages& messages) {
            seen.push_back(messages);
            const auto rendered = model_->render_chat(messages, {.tools = tools.specs()});
            prompts.push_back(rendered.prompt);
            const std::string& text = texts[std::min(seen.size(), texts.size()) - 1];
            return platform::chat_template::parse_reply(text, rendered.reply_format);
        };
    }

    static std::unique_ptr<platform::llama::Llama> model_;
    platform::python::SimulatedAbsence no_ddgs;  // the instant-answer path, whatever is installed
    SearchServer search;
    ToolBox tools;
    std::vector<Messages> seen;
    std::vector<std::string> prompts;
    std::ostringstream log;
};
std::unique_ptr<platform::llama::Llama> ToolLoop::model_;

constexpr const char* kCall =
    "<|tool_call>call:web_search{query:<|\"|>llama.cpp<|\"|>}<tool_call|>";

TEST_F(ToolLoop, ThePromptOffersTheToolInTheModelsOwnFormat) {
    const auto specs = tools.specs();
    ASSERT_EQ(specs.size(), 1U);
    EXPECT_EQ(specs[0].name, "web_search");
    EXPECT_EQ(json::parse(specs[0].parameters)["properties"]["query"]["type"], "string");

    backends::NativeBackend backend;
    backend.load(testing::vocab_model("gemma-4"), {.n_ctx = 512, .n_threads = 1});
    const std::string offered =
        backend.format_prompt(kQuestion, backends::GenerationConfig{.tools = specs});
    EXPECT_NE(offered.find("<|tool>declaration:web_search{"), std::string::npos) << offered;
    EXPECT_EQ(backend.format_prompt(kQuestion).find("web_search"), std::string::npos);
    EXPECT_TRUE(backend.chat_template_use(kQuestion, backends::GenerationConfig{.tools = specs})
                    .own_template);
}

TEST_F(ToolLoop, AToolCallIsRunAndItsResultFedBackBeforeTheAnswer) {
    Messages messages = kQuestion;
    const ChatReply answer =
        answer_with_tools(messages, recorded({kCall, "It runs models in C/C++."}), tools, log);

    EXPECT_EQ(answer, ChatReply{.content = "It runs models in C/C++."});
    EXPECT_EQ(search.queries(), std::vector<std::string>{"llama.cpp"});
    EXPECT_EQ(log.str(), "  [web_search] {\"query\":\"llama.cpp\"}\n");
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0], kQuestion);

    // The call and its result joined the conversation, and the model saw them.
    ASSERT_EQ(messages.size(), 3U);
    EXPECT_EQ(messages[1].role(), "assistant");
    const json calls = json::parse(messages[1]["tool_calls"]);
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0]["function"]["name"], "web_search");
    EXPECT_EQ(json::parse(calls[0]["function"]["arguments"].get<std::string>()),
              json({{"query", "llama.cpp"}}));
    EXPECT_EQ(messages[2], (Message{{"role", "tool"},
                                    {"content", kResult},
                                    {"tool_call_id", calls[0]["id"].get<std::string>()},
                                    {"name", "web_search"}}));
    EXPECT_FALSE(calls[0]["id"].get<std::string>().empty());
    EXPECT_EQ(seen[1], messages);
    EXPECT_NE(prompts[1].find("<|tool_call>call:web_search{query:<|\"|>llama.cpp<|\"|>}<tool_call|>"
                              "<|tool_response>response:web_search{value:<|\"|>" +
                              std::string(kResult)),
              std::string::npos)
        << prompts[1];
}

TEST_F(ToolLoop, AMalformedToolCallStaysTextAndRunsNothing) {
    const std::string garbled = "<|tool_call>call:web_search{query:<|\"|>llama.cpp<tool_call|>";
    Messages messages = kQuestion;
    const ChatReply answer = answer_with_tools(messages, recorded({garbled}), tools, log);
    EXPECT_EQ(answer, ChatReply{.content = garbled});
    EXPECT_EQ(seen.size(), 1U);
    EXPECT_TRUE(search.queries().empty());
    EXPECT_EQ(messages, kQuestion);
    EXPECT_EQ(log.str(), "");
}

TEST_F(ToolLoop, AModelThatKeepsCallingIsStoppedAfterTheRoundLimit) {
    Messages messages = kQuestion;
    const ChatReply answer = answer_with_tools(messages, recorded({kCall}), tools, log, 3);
    EXPECT_EQ(seen.size(), 4U);
    EXPECT_EQ(search.queries().size(), 3U);
    EXPECT_EQ(answer.tool_calls.size(), 1U);  // the last one, not run
    EXPECT_EQ(messages.size(), 1U + 3 * 2);
    EXPECT_NE(log.str().find("stopped after 3 rounds"), std::string::npos) << log.str();
}

TEST_F(ToolLoop, UnknownToolsAndBadArgumentsAreFedBackAsErrors) {
    std::vector<ChatReply> replies = {{.tool_calls = {{"nosuch", "{}", "a"},
                                                      {"web_search", "not json", "b"},
                                                      {"web_search", R"({"query": 5})", "c"},
                                                      {"web_search", R"({"query": ""})", "d"}}},
                                      {.content = "Sorry."}};
    Messages messages = kQuestion;
    std::size_t next = 0;
    const ChatReply answer = answer_with_tools(
        messages, [&](const Messages&) { return replies.at(next++); }, tools, log);
    EXPECT_EQ(answer.content, "Sorry.");
    ASSERT_EQ(messages.size(), 6U);
    EXPECT_EQ(messages[2]["content"],
              "Error: there is no tool named 'nosuch' (the tools: web_search)");
    EXPECT_EQ(messages[3]["content"],
              "Error: the arguments of web_search must be a JSON object, not not json");
    EXPECT_TRUE(messages[4]["content"].starts_with("Error: ")) << messages[4]["content"];
    EXPECT_NE(messages[4]["content"].find("query"), std::string::npos);
    EXPECT_EQ(messages[5]["content"], "Error: No query provided");
    EXPECT_EQ(messages[5]["tool_call_id"], "d");
    EXPECT_TRUE(search.queries().empty());
}

TEST(ToolNames, OnlyKnownToolsAreMade) {
    EXPECT_FALSE(make_toolbox({"web_search"}).empty());
    EXPECT_THROW(make_toolbox({"calculator"}), InvalidValueError);
}

}  // namespace
}  // namespace kestrune::cli
