// Every template family of the real vocabularies in the pinned llama.cpp source, on a small
// random-weight model around each: the prompt we render is the one llama.cpp's own server
// renders, and a chat runs to its end.
#include <gtest/gtest.h>
#include <llama.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/llama/binding.hpp"
#include "support/generation.hpp"
#include "support/llama_server.hpp"
#include "support/test_models.hpp"

namespace kestrune {
namespace {

using platform::llama::Llama;

const Messages kConversation = {
    {"system", "You answer in one sentence."},
    {"user", "What is the capital of France?"},
    {"assistant", "Paris is the capital of France."},
    {"user", "And of Italy?"},
};

// The conversation as an OpenAI chat request body.
std::string request_body(const Messages& messages) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& message : messages) {
        list.push_back({{"role", message.role()}, {"content", message.content()}});
    }
    return nlohmann::ordered_json{{"messages", list}}.dump();
}

class TemplateFamily : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(model())) {
            GTEST_SKIP() << "the test model was not generated at " << model();
        }
    }
    std::string model() const { return testing::vocab_model(GetParam()); }
    Llama load() const {
        return Llama({.model_path = model(), .n_ctx = 512, .n_threads = 1, .verbose = false});
    }
};

TEST_P(TemplateFamily, RendersThePromptLlamaServerRenders) {
    if (!testing::LlamaServer::built()) {
        GTEST_SKIP() << "llama-server was not built at " << testing::LlamaServer::binary;
    }
    testing::LlamaServer server(model());
    ASSERT_TRUE(server.ready(std::chrono::seconds(60))) << "llama-server did not come up";
    const auto answer =
        nlohmann::json::parse(server.post("/apply-template", request_body(kConversation)));
    const std::string expected = answer.at("prompt");

    const Llama llm = load();
    const auto rendered = llm.render_chat(kConversation);
    EXPECT_EQ(rendered.path, platform::chat_template::Path::model_template);
    EXPECT_EQ(rendered.prompt, expected);
    EXPECT_NE(rendered.prompt.find("And of Italy?"), std::string::npos);
}

TEST_P(TemplateFamily, AChatRunsToItsEndOnTheModel) {
    Llama llm = load();
    const std::string prompt = llm.format_chat(kConversation);
    // The template's turn markers are the vocabulary's special tokens, not spelled-out text.
    const auto tokens = llm.tokenize(prompt);
    const auto is_control = [&](platform::llama::Token token) {
        return (llama_vocab_get_attr(llm.vocab(), token) & LLAMA_TOKEN_ATTR_CONTROL) != 0;
    };
    EXPECT_GE(std::count_if(tokens.begin(), tokens.end(), is_control), 2) << prompt;

    const auto answer = testing::chat(
        testing::load_model(model()),
        {.messages = kConversation, .sampling = {.max_tokens = 12, .temperature = 0.0, .seed = 7}});
    EXPECT_EQ(answer.prompt_tokens, static_cast<int>(tokens.size()));
    EXPECT_GE(answer.completion_tokens, 1);
    EXPECT_LE(answer.completion_tokens, 12);
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, TemplateFamily,
                         ::testing::ValuesIn(testing::kTemplateVocabularies),
                         [](const auto& family) {
                             std::string name = family.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
}  // namespace kestrune
