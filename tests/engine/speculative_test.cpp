#include "kestrune/engine/speculative.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "kestrune/backends/native.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama.hpp"
#include "support/temp_dir.hpp"
#include "support/test_models.hpp"

namespace kestrune::speculative {
namespace {

using backends::NativeBackend;
namespace llama = platform::llama;

const Messages kQuestion = {{"user", "the dog"}};
// A plain prompt the tiny model continues with " run a small model.".
const std::string kPrompt = "you can";
constexpr int kMaxTokens = 40;

NativeBackend loaded(const std::string& model) {
    NativeBackend backend;
    backend.load(model, {.n_ctx = 512, .n_threads = 1});
    return backend;
}

std::string plain_greedy(NativeBackend& backend, int max_tokens = kMaxTokens) {
    return backend._llm
        ->create_chat_completion(kQuestion, {.max_tokens = max_tokens, .temperature = 0.0})
        .text;
}

std::string plain_greedy_completion(NativeBackend& backend, int max_tokens) {
    return backend._llm->create_completion(kPrompt, {.max_tokens = max_tokens, .temperature = 0.0})
        .text;
}

std::string speculative_completion(NativeBackend& target, NativeBackend& draft, int max_tokens,
                                   int k, SpeculativeStats& stats) {
    return speculative_generate_tokens(*target._llm, *draft._llm, target._llm->tokenize(kPrompt),
                                       {.max_tokens = max_tokens, .k = k, .temperature = 0.0},
                                       &stats)
        .collect();
}

void report(const std::string& label, const SpeculativeStats& stats) {
    std::cout << "[ " << label << " ] acceptance " << stats.acceptance_rate() << " ("
              << stats.accepted << "/" << stats.drafted << "), " << stats.generated << " tokens in "
              << stats.rounds << " target rounds" << std::endl;
}

TEST(Speculative, GreedyOutputIsTheTargetsOwnWhenTheDraftIsTheSameModel) {
    NativeBackend target = loaded(testing::tiny_chat_model());
    NativeBackend draft = loaded(testing::tiny_chat_model());
    const std::string expected = plain_greedy(target);
    ASSERT_FALSE(expected.empty());

    SpeculativeStats stats;
    TextStream stream =
        speculative_generate_from_backends(target, draft, kQuestion, kMaxTokens, 4, 0.0, &stats);
    EXPECT_EQ(stats.rounds, 0) << "nothing runs before the first pull";
    EXPECT_EQ(stream.collect(), expected);
    report("tiny drafts for tiny, k=4", stats);
    EXPECT_GT(stats.acceptance_rate(), 0.9);
    EXPECT_LE(stats.generated, kMaxTokens);
    EXPECT_EQ(stats.rounds, 1) << "the whole answer, end token included, in one target batch";
    EXPECT_LE(stats.accepted, stats.drafted);

    // The caches hold the accepted text only: a second run agrees again.
    EXPECT_EQ(
        speculative_generate_from_backends(target, draft, kQuestion, kMaxTokens, 2, 0.0).collect(),
        expected);
}

TEST(Speculative, GreedyOutputIsTheTargetsOwnWhenTheDraftDisagrees) {
    NativeBackend tiny = loaded(testing::tiny_chat_model());
    NativeBackend random_weights = loaded(testing::throughput_model());

    // The random model is slow on a shared CPU: a few tokens show the rejections.
    constexpr int kFew = 8;
    SpeculativeStats stats;
    const std::string expected = plain_greedy(random_weights, kFew);
    EXPECT_EQ(
        speculative_generate_from_backends(random_weights, tiny, kQuestion, kFew, 3, 0.0, &stats)
            .collect(),
        expected);
    report("tiny drafts for throughput, k=3", stats);
    EXPECT_EQ(stats.generated, kFew);
    EXPECT_LT(stats.accepted, stats.drafted) << "the random model rejects proposals";

    // The other way round: the random model's proposals are wrong for the tiny one.
    EXPECT_EQ(speculative_completion(tiny, random_weights, kFew, 3, stats),
              plain_greedy_completion(tiny, kFew));
    report("throughput drafts for tiny, k=3", stats);
}

TEST(Speculative, MaxTokensBoundsTheAnswerEvenInsideARound) {
    // The random model never ends on its own, and drafting for itself every proposal is kept:
    // 7 tokens are one round of 5 proposals plus the target's own, then one of the target alone.
    NativeBackend target = loaded(testing::throughput_model());
    NativeBackend draft = loaded(testing::throughput_model());
    for (const auto& [max_tokens, drafted] : {std::pair{1, 0}, std::pair{7, 5}}) {
        SpeculativeStats stats;
        EXPECT_EQ(
            speculative_generate_from_backends(target, draft, kQuestion, max_tokens, 5, 0.0, &stats)
                .collect(),
            plain_greedy(target, max_tokens));
        report("throughput drafts for throughput, k=5", stats);
        EXPECT_EQ(stats.generated, max_tokens);
        EXPECT_EQ(stats.drafted, drafted);
    }
}

TEST(Speculative, SampledOutputFollowsTheSeedAndAcceptsAnIdenticalDraft) {
    NativeBackend target = loaded(testing::tiny_chat_model());
    NativeBackend draft = loaded(testing::tiny_chat_model());
    auto run = [&](std::uint32_t seed, SpeculativeStats* stats) {
        return speculative_generate(
                   *target._llm, *draft._llm, kQuestion,
                   {.max_tokens = kMaxTokens, .k = 4, .temperature = 0.9, .seed = seed}, stats)
            .collect();
    };
    SpeculativeStats stats;
    const std::string first = run(7, &stats);
    report("tiny drafts for tiny, temperature 0.9", stats);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(run(7, nullptr), first);
    // Equal distributions give p/q = 1: every proposal is kept.
    EXPECT_GT(stats.acceptance_rate(), 0.95);
    EXPECT_GT(stats.drafted, 0);
}

TEST(Speculative, SampledTokensFollowTheTargetWhateverTheDraftProposes) {
    // The tiny model gives every word pair its corpus never shows a logit of -30; the random
    // model proposes such pairs all the time. Under the acceptance rule none may get through.
    NativeBackend tiny = loaded(testing::tiny_chat_model());
    NativeBackend random_weights = loaded(testing::throughput_model());
    llama::Llama& target = *tiny._llm;
    SpeculativeStats stats;
    const std::string text = speculative_generate_tokens(
                                 target, *random_weights._llm, target.tokenize(kPrompt),
                                 {.max_tokens = 24, .k = 3, .temperature = 0.9, .seed = 11}, &stats)
                                 .collect();
    report("throughput drafts for tiny, temperature 0.9", stats);
    EXPECT_LT(stats.accepted, stats.drafted);

    const std::vector<llama::Token> prompt = target.tokenize(kPrompt);
    const std::vector<llama::Token> answered = target.tokenize(kPrompt + text);
    ASSERT_GT(answered.size(), prompt.size());
    ASSERT_TRUE(std::equal(prompt.begin(), prompt.end(), answered.begin()));
    target.truncate(0);
    target.eval(answered, true);
    for (std::size_t i = prompt.size(); i < answered.size(); ++i) {
        EXPECT_GT(target.logits(static_cast<int>(i) - 1)[static_cast<std::size_t>(answered[i])],
                  -25.0F)
            << target.token_to_piece(answered[i]) << " after "
            << target.token_to_piece(answered[i - 1]);
    }
}

TEST(Speculative, FailuresComeAtTheFirstPull) {
    NativeBackend target;
    NativeBackend draft;
    TextStream no_target = speculative_generate_from_backends(target, draft, kQuestion);
    EXPECT_THROW(
        {
            try {
                no_target.next();
            } catch (const RuntimeFailure& failure) {
                EXPECT_STREQ(failure.what(), "No model loaded");
                throw;
            }
        },
        RuntimeFailure);

    target.load(testing::tiny_chat_model(), {.n_ctx = 512, .n_threads = 1});
    TextStream no_draft = speculative_generate_from_backends(target, draft, kQuestion);
    EXPECT_THROW(no_draft.next(), RuntimeFailure);

    draft.load(testing::tiny_chat_model(), {.n_ctx = 512, .n_threads = 1});
    TextStream no_proposals =
        speculative_generate_from_backends(target, draft, kQuestion, kMaxTokens, 0);
    EXPECT_THROW(no_proposals.next(), InvalidValueError);
}

// The tiny model with one token's text changed ("▁cache" becomes "▁cachq"): the same weights
// behind a different vocabulary.
std::string tiny_model_with_another_vocabulary(const testing::TempDir& dir) {
    std::ifstream in(testing::tiny_chat_model(), std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A GGUF string is its length (8 bytes, little-endian) followed by its bytes.
    const std::string text =
        "\xE2\x96\x81"
        "cache";
    std::string stored(8, '\0');
    stored[0] = static_cast<char>(text.size());
    stored += text;
    const std::size_t at = bytes.find(stored);
    if (at == std::string::npos) {
        throw std::runtime_error("no token \"cache\" in the tiny model");
    }
    bytes[at + stored.size() - 1] = 'q';
    return dir.write("other-vocabulary.gguf", bytes).string();
}

TEST(Speculative, ModelsWithDifferentVocabulariesAreRefused) {
    const testing::TempDir dir;
    NativeBackend target = loaded(testing::tiny_chat_model());
    NativeBackend draft = loaded(tiny_model_with_another_vocabulary(dir));
    TextStream stream = speculative_generate_from_backends(target, draft, kQuestion);
    try {
        stream.next();
        ADD_FAILURE() << "different vocabularies were accepted";
    } catch (const InvalidValueError& failure) {
        EXPECT_THAT(failure.what(), ::testing::HasSubstr("vocabulary"));
    }
}

}  // namespace
}  // namespace kestrune::speculative
