#include "platform/llama/binding.hpp"

#include <gtest/gtest.h>

#include <algorithm>

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

std::vector<Token> first_tokens(const Params& params) {
    return Llama(params).tokenize("the cat");
}

TEST(LlamaBinding, QuietModelPrintsNothingAndAVerboseOneLogs) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        Llama quiet(tiny());
        quiet.evaluate_prompt(quiet.tokenize(quiet.format_chat(kQuestion)));
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

TEST(LlamaBinding, APromptThatExtendsTheContextEvaluatesOnlyItsNewTokens) {
    Llama model(tiny());
    const auto first = model.tokenize("the cat sat on the mat");
    EXPECT_EQ(model.evaluate_prompt(first), static_cast<int>(first.size()));
    auto longer = first;
    const auto more = model.tokenize(" and the dog", false);
    longer.insert(longer.end(), more.begin(), more.end());
    EXPECT_EQ(model.evaluate_prompt(longer), static_cast<int>(more.size()));
    EXPECT_EQ(model.last_prompt_use().prompt_tokens, static_cast<int>(longer.size()));
    // A prompt that diverges keeps only the common prefix.
    const auto other = model.tokenize("the cat ran");
    EXPECT_LT(model.evaluate_prompt(other), static_cast<int>(other.size()));
    EXPECT_THROW(model.evaluate_prompt(std::vector<Token>(600, first[1])), InvalidValueError);
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
        EXPECT_NO_THROW(Llama(params).evaluate_prompt(first_tokens(params))) << name;
    }
    Params quantised = tiny();
    quantised.type_k = KvType{"q8_0", 8};
    quantised.type_v = KvType{"q8_0", 8};
    Llama model(quantised);
    const auto tokens = model.tokenize("the cat");
    EXPECT_EQ(model.evaluate_prompt(tokens), static_cast<int>(tokens.size()));
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
    const auto prompt = big.tokenize("the cat");
    EXPECT_EQ(big.evaluate_prompt(prompt), static_cast<int>(prompt.size()));
    EXPECT_EQ(big.n_tokens(), static_cast<int>(prompt.size()));
}

TEST(LlamaBinding, MissingFilesAndAMissingBindingFailCleanly) {
    EXPECT_THROW(Llama({.model_path = "/nonexistent/model.gguf", .verbose = false}), NotFoundError);
    ScopedMissingBinding missing;
    EXPECT_FALSE(binding_available());
    EXPECT_THROW(load(tiny()), BindingMissing);
}

}  // namespace
}  // namespace kestrune::platform::llama
