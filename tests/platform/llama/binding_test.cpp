#include "platform/llama/binding.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/utf8.hpp"
#include "support/test_models.hpp"

namespace kestrune::platform::llama {
namespace {

Params tiny(int n_ctx = 512) {
    return {
        .model_path = testing::tiny_chat_model(), .n_ctx = n_ctx, .n_threads = 1, .verbose = false};
}

Sampling greedy(std::optional<int> max_tokens = 48) {
    return {.max_tokens = max_tokens, .temperature = 0.0};
}

const Messages kQuestion = {{"user", "the cat"}};

TEST(LlamaBinding, GreedyChatIsDeterministicReadableAndStopsAtTheEndToken) {
    Llama first(tiny());
    const Completion answer = first.create_chat_completion(kQuestion, greedy());
    EXPECT_EQ(answer.finish_reason, "stop");
    EXPECT_GT(answer.completion_tokens, 1);
    EXPECT_EQ(answer.text.back(), '.');
    EXPECT_EQ(answer.text.find("<|im_end|>"), std::string::npos);
    // Every word comes from the corpus the model was built from.
    EXPECT_NE(answer.text.find(" the "), std::string::npos) << answer.text;

    Llama second(tiny());
    EXPECT_EQ(second.create_chat_completion(kQuestion, greedy()).text, answer.text);
    // The same object again, now reusing its cache.
    EXPECT_EQ(first.create_chat_completion(kQuestion, greedy()).text, answer.text);
}

TEST(LlamaBinding, StreamedAnswerConcatenatesToTheWholeAnswer) {
    Llama model(tiny());
    const std::string whole = model.create_chat_completion(kQuestion, greedy()).text;
    std::vector<std::string> pieces;
    for (const auto& piece : model.create_chat_completion_stream(kQuestion, greedy())) {
        pieces.push_back(piece);
    }
    EXPECT_GT(pieces.size(), 1U);
    std::string joined;
    for (const auto& piece : pieces) {
        joined += piece;
    }
    EXPECT_EQ(joined, whole);
    EXPECT_EQ(model.create_completion_stream("the model", greedy()).collect(),
              model.create_completion("the model", greedy()).text);
}

TEST(LlamaBinding, MaxTokensIsHonouredWholeAndStreamed) {
    Llama model(tiny());
    const Sampling sampled{.max_tokens = 3, .temperature = 0.9, .seed = 7};
    const Completion answer = model.create_completion("the model reads your", sampled);
    EXPECT_EQ(answer.completion_tokens, 3);
    EXPECT_EQ(answer.finish_reason, "length");
    EXPECT_EQ(model.create_completion_stream("the model reads your", greedy(2)).collect(),
              model.create_completion("the model reads your", greedy(2)).text);
    EXPECT_EQ(model.create_chat_completion(kQuestion, greedy(1)).completion_tokens, 1);
}

TEST(LlamaBinding, SampledOutputDependsOnTheSeedOnly) {
    Llama model(tiny());
    const Sampling sampled{.max_tokens = 20, .temperature = 1.5, .top_k = 0, .seed = 42};
    const std::string once = model.create_completion("the", sampled).text;
    EXPECT_EQ(model.create_completion("the", sampled).text, once);
    Sampling reseeded = sampled;
    reseeded.seed = 4242;
    EXPECT_NE(model.create_completion("the", reseeded).text, once);
}

TEST(LlamaBinding, QuietModelPrintsNothingAndAVerboseOneLogs) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        Llama quiet(tiny());
        quiet.create_chat_completion(kQuestion, greedy());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    ::testing::internal::CaptureStderr();
    {
        Params params = tiny();
        params.verbose = true;
        Llama verbose(params);
    }
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
}

TEST(LlamaBinding, SecondTurnEvaluatesOnlyItsNewTokens) {
    Llama model(tiny());
    Messages chat = kQuestion;
    const Completion first = model.create_chat_completion(chat, greedy());
    const int turn_one_prompt = static_cast<int>(model.tokenize(model.format_chat(chat)).size());
    EXPECT_EQ(model.last_prompt_use().evaluated_tokens, turn_one_prompt);

    chat.emplace_back("assistant", first.text);
    chat.emplace_back("user", "and the cache");
    const int turn_two_prompt = static_cast<int>(model.tokenize(model.format_chat(chat)).size());
    model.create_chat_completion(chat, greedy());
    // The context held turn one's prompt and every answer token but the end token.
    const int held = turn_one_prompt + first.completion_tokens;
    EXPECT_EQ(model.last_prompt_use().prompt_tokens, turn_two_prompt);
    EXPECT_EQ(model.last_prompt_use().evaluated_tokens, turn_two_prompt - held);
    EXPECT_GT(held, turn_one_prompt);

    // A prompt that diverges keeps only the common prefix.
    model.create_chat_completion({{"user", "a local model"}}, greedy());
    EXPECT_LT(model.last_prompt_use().evaluated_tokens, turn_one_prompt + 2);
    EXPECT_GT(model.last_prompt_use().evaluated_tokens, 2);
}

TEST(LlamaBinding, PromptLongerThanTheContextFailsWithBothNumbersAndLeavesTheModelUsable) {
    Llama model(tiny(256));
    std::string prompt;
    for (int i = 0; i < 150; ++i) {
        prompt += "the cache ";
    }
    const auto n_prompt = model.tokenize(prompt).size();
    try {
        model.create_completion(prompt, greedy());
        FAIL() << "expected InvalidValueError";
    } catch (const InvalidValueError& failure) {
        EXPECT_EQ(std::string(failure.what()), "Requested tokens (" + std::to_string(n_prompt) +
                                                   ") exceed context window of " +
                                                   std::to_string(model.n_ctx()));
    }
    // Generation ends when the context is full instead of failing.
    std::string nearly_full;
    for (int i = 0; i < (model.n_ctx() - 2) / 2; ++i) {
        nearly_full += "the cache ";
    }
    const Completion rest = model.create_completion(nearly_full, greedy(1000));
    EXPECT_EQ(rest.finish_reason, "length");
    EXPECT_EQ(model.n_tokens(), model.n_ctx());
    EXPECT_FALSE(rest.text.empty());
}

TEST(LlamaBinding, KvTypesAreCheckedAgainstTheLibrary) {
    for (const auto& [name, id] : std::vector<std::pair<std::string, int>>{
             {"turbo4_0", 41}, {"turbo3_0", 42}, {"turbo2_0", 43}, {"q8_0", 9}, {"q4_K", 12}}) {
        Params params = tiny();
        params.type_k = KvType{name, id};
        params.type_v = KvType{name, id};
        EXPECT_THROW(Llama{params}, KvTypeRejected) << name;
        // What a caller does on that refusal: build again without the KV type options.
        params.type_k.reset();
        params.type_v.reset();
        EXPECT_EQ(Llama(params).create_chat_completion(kQuestion, greedy()).finish_reason, "stop");
    }
    Params quantised = tiny();
    quantised.type_k = KvType{"q8_0", 8};
    quantised.type_v = KvType{"q8_0", 8};
    Llama model(quantised);
    EXPECT_EQ(model.create_chat_completion(kQuestion, greedy()).finish_reason, "stop");
}

TEST(LlamaBinding, BatchLogitsMatchTokenByTokenEvaluation) {
    Llama batched(tiny());
    Llama stepwise(tiny());
    const auto tokens = batched.tokenize("the model reads your prompt");
    batched.eval(tokens, true);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        stepwise.eval(std::span(&tokens[i], 1));
        const auto expected = stepwise.logits();
        const auto actual = batched.logits(static_cast<int>(i));
        ASSERT_EQ(actual.size(), static_cast<std::size_t>(batched.n_vocab()));
        EXPECT_EQ(std::max_element(actual.begin(), actual.end()) - actual.begin(),
                  std::max_element(expected.begin(), expected.end()) - expected.begin());
    }
    EXPECT_THROW(batched.logits(static_cast<int>(tokens.size())), InvalidValueError);

    batched.truncate(2);
    EXPECT_EQ(batched.n_tokens(), 2);
    batched.eval(std::span(tokens).subspan(2));
    EXPECT_EQ(batched.tokens(), tokens);
    Sampler sampler = batched.make_sampler(greedy());
    const Token next = sampler.sample(batched.logits());
    // "prompt" is followed by ".", "and" and "faster" once each; ties go to the earliest word.
    EXPECT_EQ(batched.token_to_piece(next), ".");
}

TEST(LlamaBinding, ThroughputModelSharesTheVocabularyAndGenerates) {
    Llama tiny_model(tiny());
    Llama big({.model_path = testing::throughput_model(),
               .n_ctx = 256,
               .n_threads = 1,
               .verbose = false});
    EXPECT_EQ(big.vocab_fingerprint(), tiny_model.vocab_fingerprint());
    const Completion answer =
        big.create_completion("the cat", {.max_tokens = 4, .temperature = 0.0});
    EXPECT_LE(answer.completion_tokens, 4);
    EXPECT_EQ(big.n_tokens(), answer.prompt_tokens + answer.completion_tokens - 1);
}

// Random weights pick lone bytes of the vocabulary that form no character: the streamed answer
// must read as the whole one does (U+FFFD for each), never pass the raw bytes on.
TEST(LlamaBinding, BytesThatFormNoCharacterStreamAsTheWholeAnswerReadsThem) {
    Llama model({.model_path = testing::throughput_model(),
                 .n_ctx = 256,
                 .n_threads = 1,
                 .verbose = false});
    const Sampling sampled{.max_tokens = 40, .temperature = 1.5, .top_k = 0, .seed = 3};
    const std::string whole = model.create_chat_completion(kQuestion, sampled).text;
    const std::string streamed = model.create_chat_completion_stream(kQuestion, sampled).collect();
    EXPECT_NE(whole.find("\uFFFD"), std::string::npos) << "no lone byte was sampled";
    EXPECT_EQ(streamed, whole);
    EXPECT_EQ(utf8::valid_prefix(streamed), streamed.size());
}

TEST(LlamaBinding, MissingFilesAndAMissingBindingFailCleanly) {
    EXPECT_THROW(Llama({.model_path = "/nonexistent/model.gguf", .verbose = false}), NotFoundError);
    ScopedMissingBinding missing;
    EXPECT_FALSE(binding_available());
    EXPECT_THROW(load(tiny()), BindingMissing);
}

}  // namespace
}  // namespace kestrune::platform::llama
