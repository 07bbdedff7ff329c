// Generation through the inference core as every door uses it: whole and streamed answers
// agree, limits and end tokens end them, seeds decide sampled ones, a chat's next turn
// evaluates only what is new, and bytes that form no character never leave it.
#include "inference/model.hpp"

#include <gtest/gtest.h>

#include <string>

#include "core/utf8.hpp"
#include "inference/reply.hpp"
#include "support/generation.hpp"
#include "support/test_models.hpp"

namespace kestrune::inference {
namespace {

using testing::chat;
using testing::complete;
using testing::Generated;
using testing::greedy;
using testing::load_model;

const Messages kQuestion = {{"user", "the cat"}};

std::string streamed(const std::shared_ptr<Model>& model, const ChatRequest& request) {
    Reply reply(model, request);
    std::string text;
    int pieces = 0;
    while (auto delta = reply.next_delta()) {
        text += delta->content;
        ++pieces;
    }
    EXPECT_GT(pieces, 1);
    return text;
}

TEST(InferenceModel, GreedyChatIsDeterministicReadableAndStopsAtTheEndToken) {
    const auto model = load_model(kestrune::testing::tiny_chat_model());
    const Generated answer = chat(model, {.messages = kQuestion, .sampling = greedy(48)});
    EXPECT_EQ(answer.finish_reason, "stop");
    EXPECT_GT(answer.completion_tokens, 1);
    ASSERT_FALSE(answer.text.empty());
    EXPECT_EQ(answer.text.back(), '.');
    EXPECT_EQ(answer.text.find("<|im_end|>"), std::string::npos);
    // Every word comes from the corpus the model was built from.
    EXPECT_NE(answer.text.find(" the "), std::string::npos) << answer.text;

    EXPECT_EQ(chat(load_model(kestrune::testing::tiny_chat_model()),
                   {.messages = kQuestion, .sampling = greedy(48)})
                  .text,
              answer.text);
    // The same model again, now reusing its sequence's cells.
    EXPECT_EQ(chat(model, {.messages = kQuestion, .sampling = greedy(48)}).text, answer.text);
    EXPECT_EQ(streamed(model, {.messages = kQuestion, .sampling = greedy(48)}), answer.text);
}

TEST(InferenceModel, LimitsEndAnswersAndSeedsDecideSampledOnes) {
    const auto model = load_model(kestrune::testing::tiny_chat_model());
    const Generated limited =
        complete(model, "the model reads your", {.max_tokens = 3, .temperature = 0.9, .seed = 7});
    EXPECT_EQ(limited.completion_tokens, 3);
    EXPECT_EQ(limited.finish_reason, "length");
    EXPECT_EQ(chat(model, {.messages = kQuestion, .sampling = greedy(1)}).completion_tokens, 1);

    auto sampled = [&](std::uint32_t seed) {
        return complete(model, "the",
                        {.max_tokens = 20, .temperature = 1.5, .top_k = 0, .seed = seed})
            .text;
    };
    const std::string once = sampled(42);
    EXPECT_EQ(sampled(42), once);
    EXPECT_NE(sampled(43), once) << "another seed, another answer";
}

TEST(InferenceModel, ANextTurnEvaluatesOnlyItsNewTokens) {
    const auto model = load_model(kestrune::testing::tiny_chat_model());
    const auto& weights = model->weights();
    Messages conversation = kQuestion;
    const Generated first = chat(model, {.messages = conversation, .sampling = greedy(48)});
    const auto turn_one =
        static_cast<int>(weights.tokenize(weights.format_chat(conversation)).size());
    EXPECT_EQ(first.evaluated_tokens, turn_one);

    conversation.emplace_back("assistant", first.text);
    conversation.emplace_back("user", "and the cache");
    const Generated second = chat(model, {.messages = conversation, .sampling = greedy(48)});
    const auto turn_two =
        static_cast<int>(weights.tokenize(weights.format_chat(conversation)).size());
    // The sequence held turn one's prompt and every answer token but the end token.
    const int held = turn_one + first.completion_tokens;
    EXPECT_EQ(second.prompt_tokens, turn_two);
    EXPECT_EQ(second.evaluated_tokens, turn_two - held);
}

TEST(InferenceModel, APromptLongerThanTheContextFailsWithBothNumbersAndAFullContextEnds) {
    const auto model = load_model(kestrune::testing::tiny_chat_model(), 256);
    std::string prompt;
    for (int i = 0; i < 150; ++i) {
        prompt += "the cache ";
    }
    const auto n_prompt = model->weights().tokenize(prompt).size();
    try {
        complete(model, prompt, greedy());
        FAIL() << "expected InvalidValueError";
    } catch (const InvalidValueError& failure) {
        EXPECT_EQ(std::string(failure.what()), "Requested tokens (" + std::to_string(n_prompt) +
                                                   ") exceed context window of 256");
    }
    // Generation ends when the context is full instead of failing.
    std::string nearly_full;
    for (int i = 0; i < (256 - 2) / 2; ++i) {
        nearly_full += "the cache ";
    }
    const Generated rest = complete(model, nearly_full, greedy(1000));
    EXPECT_EQ(rest.finish_reason, "length");
    // Every position holds a token, and the token sampled on the last one is passed on.
    EXPECT_EQ(rest.prompt_tokens + rest.completion_tokens, 257);
}

// Random weights pick lone bytes of the vocabulary that form no character: the streamed answer
// must read as the whole one does (U+FFFD for each), never pass the raw bytes on.
TEST(InferenceModel, BytesThatFormNoCharacterStreamAsTheWholeAnswerReadsThem) {
    const auto model = load_model(kestrune::testing::throughput_model(), 256);
    const ChatRequest request{
        .messages = kQuestion,
        .sampling = {.max_tokens = 40, .temperature = 1.5, .top_k = 0, .seed = 3}};
    const std::string whole = chat(model, request).text;
    const std::string pieces = streamed(model, request);
    EXPECT_NE(whole.find("\uFFFD"), std::string::npos) << "no lone byte was sampled";
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(utf8::valid_prefix(pieces), pieces.size());
}

TEST(InferenceModel, AKvTypeThisBuildLacksIsNamedAndTheCacheStaysF16) {
    ::testing::internal::CaptureStdout();
    Model model({.path = kestrune::testing::tiny_chat_model(),
                 .type_k = KvType{"turbo4_0", 41},
                 .type_v = KvType{"turbo4_0", 41},
                 .scheduler = {.n_ctx = 128}});
    const std::string said = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("turbo4_0"), std::string::npos) << said;
    EXPECT_EQ(model.kv_type_in_use(), "f16");
    Model quantised({.path = kestrune::testing::tiny_chat_model(),
                     .type_k = KvType{"q8_0", 8},
                     .type_v = KvType{"q8_0", 8},
                     .scheduler = {.n_ctx = 128}});
    EXPECT_EQ(quantised.kv_type_in_use(), "q8_0");
}

}  // namespace
}  // namespace kestrune::inference
