#include "kestrune/engine/speculative.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "kestrune/backends/native.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"
#include "support/generation.hpp"
#include "support/temp_dir.hpp"
#include "support/test_models.hpp"

namespace kestrune::engine::speculative {
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

using ModelPtr = std::shared_ptr<inference::Model>;

// A plain completion of kPrompt through the same token loop.
std::string plain_completion(const ModelPtr& target, const llama::Sampling& settings) {
    return testing::complete(target, kPrompt, settings).text;
}

// kPrompt completed with `draft` proposing.
std::string speculative_completion(const ModelPtr& target, const ModelPtr& draft,
                                   const SpeculativeOptions& options, SpeculativeStats& stats) {
    inference::Reply reply(
        target, inference::CompletionRequest{
                    .prompt = kPrompt,
                    .sampling = inference::sampling_of(options),
                    .speculation = inference::Speculation{.draft = draft->shared_weights(),
                                                          .k = options.k,
                                                          .adaptive_k = options.adaptive_k}});
    const testing::Generated generated = testing::read_all(reply);
    stats = inference::speculative_stats(reply.summary());
    return generated.text;
}

std::string plain_greedy(NativeBackend& backend, int max_tokens = kMaxTokens) {
    return testing::chat(backend.model(),
                         {.messages = kQuestion, .sampling = testing::greedy(max_tokens)})
        .text;
}

std::string plain_greedy_completion(NativeBackend& backend, int max_tokens) {
    return plain_completion(backend.model(), testing::greedy(max_tokens));
}

std::string speculative_completion(NativeBackend& target, NativeBackend& draft, int max_tokens,
                                   int k, SpeculativeStats& stats) {
    return speculative_completion(target.model(), draft.model(),
                                  {.max_tokens = max_tokens, .k = k, .temperature = 0.0}, stats);
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
        return speculative_generate_from_backends(
                   target, draft, kQuestion,
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
    SpeculativeStats stats;
    const std::string text =
        speculative_completion(tiny.model(), random_weights.model(),
                               {.max_tokens = 24, .k = 3, .temperature = 0.9, .seed = 11}, stats);
    llama::Llama target(
        {.model_path = testing::tiny_chat_model(), .n_ctx = 512, .n_threads = 1, .verbose = false});
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

// --- target/draft pairs of controlled agreement ----------------------------------------------

ModelPtr load_llama(const std::string& path) {
    return testing::load_model(path, 512);
}

TEST(SpeculativePairs, GreedyOutputIsPlainGreedyOnEveryPairWithAndWithoutRepeatPenalty) {
    constexpr int kTokens = 24;
    std::map<int, double> acceptance;
    bool penalty_matters = false;
    for (const int agreement : {50, 80, 95}) {
        const auto pair = testing::draft_pair("pair-" + std::to_string(agreement));
        const ModelPtr target = load_llama(pair.target);
        const ModelPtr draft = load_llama(pair.draft);
        std::string without_penalty;
        for (const double penalty : {1.0, 1.5}) {
            const std::string expected = plain_completion(
                target, {.max_tokens = kTokens, .temperature = 0.0, .repeat_penalty = penalty});
            ASSERT_FALSE(expected.empty());
            SpeculativeStats stats;
            EXPECT_EQ(
                speculative_completion(
                    target, draft,
                    {.max_tokens = kTokens, .k = 4, .temperature = 0.0, .repeat_penalty = penalty},
                    stats),
                expected)
                << "pair-" << agreement << ", repeat penalty " << penalty;
            report("pair-" + std::to_string(agreement) + ", penalty " + std::to_string(penalty),
                   stats);
            EXPECT_EQ(stats.generated, kTokens) << "the pair's models never end an answer";
            if (penalty == 1.0) {
                acceptance[agreement] = stats.acceptance_rate();
                without_penalty = expected;
            } else {
                penalty_matters = penalty_matters || expected != without_penalty;
            }
        }
    }
    EXPECT_TRUE(penalty_matters) << "the repeat penalty changed no answer: nothing was shown";
    // The agreement the pairs are named after, roughly: their order and their ends.
    EXPECT_GT(acceptance[95], acceptance[80]);
    EXPECT_GT(acceptance[80], acceptance[50]);
    EXPECT_GE(acceptance[95], 0.8);
    EXPECT_LE(acceptance[50], 0.7);
}

TEST(SpeculativePairs, BackendStreamsKeepTheSamplingSettingsOfPlainStreams) {
    // A repeat penalty changes this greedy answer; a speculative stream must keep it.
    const auto pair = testing::draft_pair("pair-80");
    NativeBackend target = loaded(pair.target);
    NativeBackend draft = loaded(pair.draft);
    // Long enough that the plain answer repeats a token in every build (a shorter one did not
    // in the sanitizer build, whose float rounding differs).
    const backends::GenerationConfig penalised{
        .max_tokens = 48, .temperature = 0.0, .repeat_penalty = 1.5};
    backends::GenerationConfig unpenalised = penalised;
    unpenalised.repeat_penalty = 1.0;
    const std::string expected = target.stream(kQuestion, penalised).collect();
    ASSERT_NE(expected, target.stream(kQuestion, unpenalised).collect());
    EXPECT_EQ(target.stream_speculative(draft, kQuestion, penalised, 4).collect(), expected);
    EXPECT_EQ(target.last_speculative_stats().generated, 48);
    EXPECT_GT(target.last_speculative_stats().accepted, 0);
}

TEST(SpeculativePairs, AdaptiveKFallsOnADisagreeingDraftAndHoldsOnAnAgreeingOne) {
    // A pair's draft knows nothing of the tiny model's bigrams: it is almost always rejected.
    const ModelPtr tiny = load_llama(testing::tiny_chat_model());
    const ModelPtr stranger = load_llama(testing::draft_pair("pair-50").draft);
    const std::string expected = plain_completion(tiny, {.max_tokens = 16, .temperature = 0.0});
    SpeculativeStats adaptive;
    EXPECT_EQ(speculative_completion(tiny, stranger, {.max_tokens = 16, .k = 8}, adaptive),
              expected);
    report("pair draft for tiny, adaptive k <= 8", adaptive);
    EXPECT_LT(adaptive.acceptance_rate(), 0.3);
    EXPECT_EQ(adaptive.last_k, 1);

    SpeculativeStats fixed;
    EXPECT_EQ(speculative_completion(tiny, stranger,
                                     {.max_tokens = 16, .k = 8, .adaptive_k = false}, fixed),
              expected);
    EXPECT_EQ(fixed.last_k, 8);
    EXPECT_GT(fixed.drafted, 2 * adaptive.drafted) << "adaptive k wastes fewer proposals";

    // A draft identical to its target has every proposal kept: k stays at its most.
    const ModelPtr same = load_llama(testing::draft_pair("pair-80").draft);
    const ModelPtr twin = load_llama(testing::draft_pair("pair-80").draft);
    SpeculativeStats agreeing;
    speculative_completion(same, twin, {.max_tokens = 20, .k = 4}, agreeing);
    EXPECT_EQ(agreeing.accepted, agreeing.drafted);
    EXPECT_GT(agreeing.rounds, 2);
    EXPECT_EQ(agreeing.last_k, 4);
}

// Pearson's statistic of two equally large samples over the same categories (those seen fewer
// than 10 times in both together merged into one), and its degrees of freedom.
std::pair<double, int> two_sample_chi_square(const std::map<std::string, int>& a,
                                             const std::map<std::string, int>& b) {
    std::map<std::string, std::pair<int, int>> joined;
    for (const auto& [key, count] : a) {
        joined[key].first = count;
    }
    for (const auto& [key, count] : b) {
        joined[key].second = count;
    }
    std::pair<int, int> rare{0, 0};
    double statistic = 0.0;
    int categories = 0;
    auto add = [&](std::pair<int, int> counts) {
        const double difference = counts.first - counts.second;
        statistic += difference * difference / (counts.first + counts.second);
        ++categories;
    };
    for (const auto& [key, counts] : joined) {
        if (counts.first + counts.second < 10) {
            rare.first += counts.first;
            rare.second += counts.second;
        } else {
            add(counts);
        }
    }
    if (rare.first + rare.second > 0) {
        add(rare);
    }
    return {statistic, categories - 1};
}

// The chi-square value that a true statistic exceeds with probability 0.001 (Wilson and
// Hilferty's approximation).
double chi_square_limit(int degrees) {
    constexpr double kZ = 3.09;
    const double d = degrees;
    return d * std::pow(1.0 - 2.0 / (9.0 * d) + kZ * std::sqrt(2.0 / (9.0 * d)), 3.0);
}

TEST(SpeculativeSampling, TokensFollowPlainSamplingsDistributionOverManySeeds) {
    // A small pair whose draft the target partly agrees with, so that proposals are both kept
    // and resampled. The first three tokens (as text) of 500 seeded answers each, speculative
    // and plain, must not differ more than chance allows at significance 0.001. The draft's
    // own answers (what keeping every proposal would give) show the check tells them apart.
    constexpr int kSamples = 500;
    const SpeculativeOptions options{
        .max_tokens = 3, .k = 2, .temperature = 1.0, .top_k = 4, .repeat_penalty = 1.3};
    const auto pair = testing::draft_pair("pair-small");
    const ModelPtr target = load_llama(pair.target);
    const ModelPtr draft = load_llama(pair.draft);
    auto plain_sample = [&](const ModelPtr& model) {
        std::map<std::string, int> counts;
        for (std::uint32_t seed = 1; seed <= kSamples; ++seed) {
            ++counts[plain_completion(model, {.max_tokens = options.max_tokens,
                                              .temperature = options.temperature,
                                              .top_p = options.top_p,
                                              .top_k = options.top_k,
                                              .repeat_penalty = options.repeat_penalty,
                                              .seed = seed})];
        }
        return counts;
    };
    std::map<std::string, int> drafted;
    SpeculativeStats total;
    for (std::uint32_t seed = 1; seed <= kSamples; ++seed) {
        SpeculativeOptions seeded = options;
        seeded.seed = seed + 100000;
        SpeculativeStats stats;
        ++drafted[speculative_completion(target, draft, seeded, stats)];
        total.drafted += stats.drafted;
        total.accepted += stats.accepted;
        total.generated += stats.generated;
        total.rounds += stats.rounds;
    }
    report("pair-small, temperature 1, 500 seeds", total);
    EXPECT_GT(total.accepted, 0) << "the acceptance path was never taken";
    EXPECT_LT(total.accepted, total.drafted) << "the resampling path was never taken";

    const auto plain = plain_sample(target);
    const auto [statistic, degrees] = two_sample_chi_square(drafted, plain);
    ASSERT_GT(degrees, 2) << "too few distinct answers to compare";
    EXPECT_LT(statistic, chi_square_limit(degrees)) << degrees << " degrees of freedom";

    const auto [wrong, wrong_degrees] = two_sample_chi_square(plain_sample(draft), plain);
    EXPECT_GT(wrong, chi_square_limit(wrong_degrees)) << "the check cannot tell a change";
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
}  // namespace kestrune::engine::speculative
