#include "platform/llama/chat_template.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/llama/binding.hpp"
#include "support/temp_dir.hpp"
#include "support/test_models.hpp"

namespace kestrune::platform::chat_template {
namespace {

using llama::Llama;

Llama load(const std::string& path) {
    return Llama({.model_path = path, .n_ctx = 256, .n_threads = 1, .verbose = false});
}

const Tool kWebSearch{
    "web_search", "Search the web",
    R"({"type":"object","properties":{"query":{"type":"string"}},"required":["query"]})"};

const Messages kQuestion = {{"system", "Be brief."}, {"user", "Weather in Paris?"}};

// Gemma 4 thinks and calls tools in its own markup; these replies are in that markup.
class GemmaReplies : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        model_ = std::make_unique<Llama>(load(testing::vocab_model("gemma-4")));
    }
    static void TearDownTestSuite() { model_.reset(); }

    static Reply parse(const std::string& text) {
        const Rendered rendered = model_->render_chat(kQuestion, {.tools = {kWebSearch}});
        return parse_reply(text, rendered.reply_format);
    }

    static std::unique_ptr<Llama> model_;
};
std::unique_ptr<Llama> GemmaReplies::model_;

TEST_F(GemmaReplies, ThePromptOffersTheToolsAndThinkingInTheModelsOwnForm) {
    const Rendered rendered = model_->render_chat(kQuestion, {.tools = {kWebSearch}});
    EXPECT_EQ(rendered.path, Path::model_template);
    EXPECT_NE(rendered.prompt.find("<|tool>declaration:web_search{"), std::string::npos)
        << rendered.prompt;
    EXPECT_NE(rendered.prompt.find("<|think|>"), std::string::npos);
    EXPECT_TRUE(rendered.thinking);
    EXPECT_TRUE(rendered.prompt.ends_with("<|turn>model\n")) << rendered.prompt;

    const Rendered plain = model_->render_chat(kQuestion, {.enable_thinking = false});
    EXPECT_EQ(plain.prompt.find("<|think|>"), std::string::npos);
    EXPECT_EQ(plain.prompt.find("web_search"), std::string::npos);
    EXPECT_FALSE(plain.thinking);
}

TEST_F(GemmaReplies, ThinkingIsSeparatedFromTheAnswer) {
    EXPECT_EQ(parse("<|channel>thought\nThe user wants\nthe weather.<channel|>It is sunny."),
              (Reply{.content = "It is sunny.", .reasoning = "The user wants\nthe weather."}));
    EXPECT_EQ(parse("It is sunny."), Reply{.content = "It is sunny."});
}

TEST_F(GemmaReplies, AToolCallIsParsedIntoNameAndJsonArguments) {
    const Reply reply = parse(
        "<|channel>thought\nI should look.<channel|>"
        "<|tool_call>call:web_search{query:<|\"|>weather in Paris<|\"|>}<tool_call|>");
    EXPECT_EQ(reply.reasoning, "I should look.");
    EXPECT_EQ(reply.content, "");
    ASSERT_EQ(reply.tool_calls.size(), 1U);
    EXPECT_EQ(reply.tool_calls[0].name, "web_search");
    EXPECT_EQ(nlohmann::json::parse(reply.tool_calls[0].arguments),
              nlohmann::json({{"query", "weather in Paris"}}));
}

TEST_F(GemmaReplies, AMalformedToolCallStaysPlainTextWithNothingLost) {
    // Cut short, garbled, or naming no offered tool: the engine alone would make calls with
    // arguments that are not JSON of some, and drop others from the text.
    for (const std::string text :
         {"<|tool_call>call:web_search{query:<|\"|>Paris<tool_call|>",
          "Sure: <|tool_call>call:web_search{query:", "<|tool_call>call:{{{<tool_call|>",
          "<|tool_call>call:nosuch{query:<|\"|>x<|\"|>}<tool_call|>",
          "Hello <|tool_call>garbage"}) {
        EXPECT_EQ(parse(text), Reply{.content = text}) << text;
    }
    const Reply thought = parse("<|channel>thought\nHm.<channel|>Sure: <|tool_call>call:{");
    EXPECT_EQ(thought, (Reply{.content = "Sure: <|tool_call>call:{", .reasoning = "Hm."}));
}

// A reply read as it streams in pieces of `size` bytes: the parts passed on, joined.
struct Streamed {
    std::string reasoning;
    std::string content;
    Reply reply;
    bool markup_in_answer = false;  // some content passed on held a '<'
};

Streamed stream_in_pieces(const ReplyFormat& format, const std::string& text, std::size_t size) {
    StreamedReply streamed(format);
    Streamed result;
    for (std::size_t at = 0; at < text.size(); at += size) {
        const auto delta = streamed.add(std::string_view(text).substr(at, size));
        result.reasoning += delta.reasoning;
        result.content += delta.content;
        result.markup_in_answer =
            result.markup_in_answer || result.content.find('<') != std::string::npos;
    }
    const auto rest = streamed.finish();
    result.reasoning += rest.reasoning;
    result.content += rest.content;
    result.reply = streamed.reply();
    return result;
}

TEST_F(GemmaReplies, AStreamedReplyIsSplitAsItComesWithNoMarkupInEitherPart) {
    const Rendered rendered = model_->render_chat(kQuestion);
    const std::string reply =
        "<|channel>thought\nIt is June;\nParis is warm.<channel|>Sunny, 25 C.";
    for (const std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{7}, reply.size()}) {
        const Streamed streamed = stream_in_pieces(rendered.reply_format, reply, size);
        EXPECT_FALSE(streamed.markup_in_answer) << "pieces of " << size;
        EXPECT_EQ(streamed.reasoning, "It is June;\nParis is warm.") << "pieces of " << size;
        EXPECT_EQ(streamed.content, "Sunny, 25 C.") << "pieces of " << size;
        EXPECT_EQ(streamed.reply,
                  (Reply{.content = streamed.content, .reasoning = streamed.reasoning}));
    }
}

TEST_F(GemmaReplies, AStreamedToolCallStaysOutOfTheAnswerAndIsReadAtTheEnd) {
    const Rendered rendered = model_->render_chat(kQuestion, {.tools = {kWebSearch}});
    const std::string reply =
        "<|channel>thought\nI should look.<channel|>"
        "<|tool_call>call:web_search{query:<|\"|>weather in Paris<|\"|>}<tool_call|>";
    for (const std::size_t size : {std::size_t{1}, std::size_t{5}, reply.size()}) {
        const Streamed streamed = stream_in_pieces(rendered.reply_format, reply, size);
        EXPECT_EQ(streamed.reasoning, "I should look.") << "pieces of " << size;
        EXPECT_EQ(streamed.content, "") << "pieces of " << size;
        ASSERT_EQ(streamed.reply.tool_calls.size(), 1U) << "pieces of " << size;
        EXPECT_EQ(streamed.reply.tool_calls[0].name, "web_search");
    }
    // A call that turns out malformed reaches the answer whole at the end.
    const std::string garbled = "Sure: <|tool_call>call:web_search{query:";
    const Streamed streamed = stream_in_pieces(rendered.reply_format, garbled, 1);
    EXPECT_EQ(streamed.content, garbled);
    EXPECT_TRUE(streamed.reply.tool_calls.empty());
}

const Messages kChat = {{"system", "Be brief."}, {"user", "hi"}};
constexpr const char* kChatMl =
    "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nhi<|im_end|>\n"
    "<|im_start|>assistant\n";

TEST(ChatTemplateFallBack, AModelWithoutATemplateGetsChatMLAndSaysSo) {
    const testing::TempDir dir;
    const Llama model = load(testing::with_chat_template(dir, ""));
    const Rendered rendered = model.render_chat(kChat);
    EXPECT_EQ(rendered.path, Path::no_template);
    EXPECT_EQ(rendered.prompt, kChatMl);
    EXPECT_EQ(model.format_chat(kChat), kChatMl);
    EXPECT_EQ(describe(rendered), "ChatML: the model carries no chat template");
    // The ChatML markers end the reply, whatever the vocabulary makes of them.
    EXPECT_EQ(rendered.stops, (std::vector<std::string>{"<|im_end|>", "<|im_start|>"}));
}

TEST(ChatTemplateFallBack, ATemplateThatFailsFallsBackToChatMLWithTheReason) {
    const testing::TempDir dir;
    for (const std::string broken :
         {"{% for message in messages %}{{ message['content'] }",
          "{{ raise_exception('this template takes no system message') }}"}) {
        const Llama model = load(testing::with_chat_template(dir, broken));
        const Rendered rendered = model.render_chat(kChat);
        EXPECT_EQ(rendered.path, Path::failed_template) << broken;
        EXPECT_EQ(rendered.prompt, kChatMl);
        EXPECT_FALSE(rendered.failure.empty());
        EXPECT_TRUE(describe(rendered).starts_with("ChatML: the model's chat template failed ("))
            << describe(rendered);
    }
}

TEST(ChatTemplateFallBack, MessagesTheEngineCannotReadFallBackInsteadOfThrowing) {
    const Llama model = load(testing::vocab_model("qwen2"));
    Message bad_calls{"assistant", ""};
    bad_calls.set("tool_calls", "not json");
    const Rendered rendered = model.render_chat({{"user", "hi"}, bad_calls, {"user", "again"}});
    EXPECT_EQ(rendered.path, Path::failed_template);
    EXPECT_NE(rendered.failure.find("parse"), std::string::npos) << rendered.failure;
}

}  // namespace
}  // namespace kestrune::platform::chat_template
