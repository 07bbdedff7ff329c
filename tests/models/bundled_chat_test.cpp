// The bundled chat model on the real library: llama.cpp computes what PyTorch trained, and the
// paths that keep or reuse state (the prompt cache, eviction, speculative decoding) answer
// exactly as a fresh context does. A model whose answer depends on the whole conversation is
// what lets these comparisons see a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "kestrune/cache/eviction.hpp"
#include "platform/llama/binding.hpp"
#include "support/generation.hpp"
#include "support/test_models.hpp"

namespace kestrune {
namespace {

namespace llama = platform::llama;
using llama::Token;

// llama.cpp multiplies F16 weights with activations rounded to F16, PyTorch in F32 with the
// same F16-rounded weights; their logits (which span about ±20) differ by about 0.002.
constexpr double kLogitTolerance = 0.02;
constexpr int kMaxTokens = 48;
const llama::Sampling kGreedy{.max_tokens = kMaxTokens, .temperature = 0.0};

llama::Llama load(const std::string& model, int n_ctx = 512) {
    return llama::Llama({.model_path = model, .n_ctx = n_ctx, .n_threads = 2, .verbose = false});
}

Messages chat_of(const Json& messages) {
    Messages chat;
    for (const auto& message : messages) {
        chat.emplace_back(message["role"].get<std::string>(),
                          message["content"].get<std::string>());
    }
    return chat;
}

Messages follow_up(const Messages& first, const std::string& answer, const std::string& question) {
    Messages chat = first;
    chat.emplace_back("assistant", answer);
    chat.emplace_back("user", question);
    return chat;
}

// Greedy continuation of what the context holds after `tokens` are appended.
std::vector<Token> greedy_after(llama::Llama& llm, const std::vector<Token>& tokens) {
    llm.eval(tokens);
    std::vector<Token> answer;
    while (static_cast<int>(answer.size()) < kMaxTokens) {
        const auto row = llm.logits();
        const auto next =
            static_cast<Token>(std::max_element(row.begin(), row.end()) - row.begin());
        if (llm.is_eog(next)) {
            break;
        }
        answer.push_back(next);
        llm.eval(std::vector<Token>{next});
    }
    return answer;
}

TEST(BundledChat, LlamaCppReproducesTheTrainingLogits) {
    std::ifstream in(testing::bundled_chat_reference_logits());
    ASSERT_TRUE(in) << testing::bundled_chat_reference_logits();
    const Json reference = Json::parse(in);
    llama::Llama llm = load(testing::bundled_chat_model());
    double worst = 0.0;
    for (const auto& prompt : reference["prompts"]) {
        const auto tokens = prompt["tokens"].get<std::vector<Token>>();
        EXPECT_EQ(llm.tokenize(llm.format_chat(chat_of(prompt["messages"]))), tokens);
        llm.truncate(0);
        llm.eval(tokens, true);
        const auto argmax = prompt["argmax"].get<std::vector<Token>>();
        for (int i = 0; i < static_cast<int>(tokens.size()); ++i) {
            const auto row = llm.logits(i);
            EXPECT_EQ(std::max_element(row.begin(), row.end()) - row.begin(), argmax[i])
                << "position " << i;
        }
        const auto expected = prompt["last_logits"].get<std::vector<double>>();
        const auto row = llm.logits();
        ASSERT_EQ(row.size(), expected.size());
        for (std::size_t i = 0; i < row.size(); ++i) {
            worst = std::max(worst, std::abs(row[i] - expected[i]));
        }
    }
    std::cout << "[ logits ] largest difference from PyTorch: " << worst << std::endl;
    EXPECT_LE(worst, kLogitTolerance);
}

TEST(BundledChat, ASecondTurnFromThePromptCacheEqualsAFreshContext) {
    const Messages pull = {{"user", "How do I pull a model?"}};
    const Messages install = {{"user", "How do I install Kestrune?"}};
    const std::string question = "And how do I remove it?";
    auto greedy_chat = [](const auto& model, const Messages& messages) {
        return testing::chat(model, {.messages = messages, .sampling = kGreedy});
    };

    const auto cached = testing::load_model(testing::bundled_chat_model());
    const auto second = follow_up(pull, greedy_chat(cached, pull).text, question);
    const auto reused = greedy_chat(cached, second);
    EXPECT_LT(reused.evaluated_tokens, reused.prompt_tokens / 2)
        << "the first turn was evaluated again";

    const auto fresh = testing::load_model(testing::bundled_chat_model());
    EXPECT_EQ(greedy_chat(fresh, second).text, reused.text);
    EXPECT_EQ(reused.finish_reason, "stop");

    // The same words after another first turn get another answer: the history is read.
    const auto other = follow_up(install, greedy_chat(fresh, install).text, question);
    EXPECT_NE(greedy_chat(fresh, other).text, reused.text);
}

TEST(BundledChat, GenerationAfterEvictionMatchesAFreshContextOfTheKeptTokens) {
    llama::Llama llm = load(testing::bundled_chat_model(), 256);
    ASSERT_TRUE(llm.can_shift());
    const Messages history = {{"user", "What is GGUF?"},
                              {"assistant", "GGUF is the file format of llama.cpp."},
                              {"user", "What is the KV cache?"},
                              {"assistant", "The KV cache keeps the keys and values."}};
    std::vector<Token> text;
    while (static_cast<int>(text.size()) < llm.n_ctx()) {
        const auto turns = llm.tokenize(llm.format_chat(history));
        text.insert(text.end(), turns.begin(), turns.end());
    }
    text.resize(static_cast<std::size_t>(llm.n_ctx()));
    llm.eval(text);

    cache::AttentionSinkEvictor evictor(
        cache::EvictionConfig{.window_size = 64, .max_cache_tokens = llm.n_ctx()});
    ASSERT_EQ(evictor.apply_eviction(llm), 64);
    const std::vector<Token> kept = llm.tokens();

    const auto question = llm.tokenize(
        "<|im_end|>\n<|im_start|>user\nHow do I pull a model?<|im_end|>\n"
        "<|im_start|>assistant\n");
    const auto after_eviction = greedy_after(llm, question);
    EXPECT_FALSE(after_eviction.empty());

    llama::Llama fresh = load(testing::bundled_chat_model(), 256);
    fresh.eval(kept);
    EXPECT_EQ(greedy_after(fresh, question), after_eviction)
        << "after eviction: " << llm.detokenize(after_eviction);
}

TEST(BundledChat, DraftingForADeeperTargetGivesTheTargetsGreedyAnswer) {
    const auto target = testing::load_model(testing::deeper_chat_model());
    const auto draft = testing::load_model(testing::bundled_chat_model());
    ASSERT_EQ(target->weights().vocab_fingerprint(), draft->weights().vocab_fingerprint());
    inference::SpeculationCounts total;
    for (const std::string question :
         {"How do I pull a model?", "What is GGUF?", "Which backends are there?"}) {
        const Messages chat = {{"user", question}};
        const auto own = testing::chat(target, {.messages = chat, .sampling = kGreedy}).text;
        inference::Reply drafted(
            target, inference::ChatRequest{.messages = chat,
                                           .sampling = kGreedy,
                                           .speculation = inference::Speculation{
                                               .draft = draft->shared_weights(), .k = 4}});
        EXPECT_EQ(testing::read_all(drafted).text, own) << question;
        total.drafted += drafted.summary().speculation.drafted;
        total.accepted += drafted.summary().speculation.accepted;
    }
    std::cout << "[ speculative ] accepted " << total.accepted << " of " << total.drafted
              << " drafted tokens" << std::endl;
    // Both ways through a round are taken: proposals kept and proposals replaced.
    EXPECT_GT(total.accepted, 0);
    EXPECT_LT(total.accepted, total.drafted);
}

}  // namespace
}  // namespace kestrune
