#include "kestrune/cache/eviction.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "core/json.hpp"
#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace kestrune::cache {
namespace {

// Records the cache operations eviction asks for.
class RecordingCache final : public KvCacheTarget {
  public:
    explicit RecordingCache(int tokens) : tokens_(tokens) {}
    int n_tokens() const override { return tokens_; }
    bool kv_cache_seq_rm(int seq_id, int p0, int p1) override {
        calls.push_back("rm " + std::to_string(seq_id) + " " + std::to_string(p0) + " " +
                        std::to_string(p1));
        return removable;
    }
    void kv_cache_seq_add(int seq_id, int p0, int p1, int delta) override {
        calls.push_back("add " + std::to_string(seq_id) + " " + std::to_string(p0) + " " +
                        std::to_string(p1) + " " + std::to_string(delta));
        if (shift_fails) {
            throw std::runtime_error("shift failed");
        }
    }
    bool can_shift() const override { return shiftable; }

    std::vector<std::string> calls;
    bool removable = true;
    bool shiftable = true;
    bool shift_fails = false;

  private:
    int tokens_;
};

TEST(AttentionSinkEvictor, BelowTheLimitNothingHappens) {
    AttentionSinkEvictor evictor;
    RecordingCache cache(2047);
    EXPECT_FALSE(evictor.should_evict(2047));
    EXPECT_FALSE(evictor.compute_eviction_range(2047));
    EXPECT_EQ(evictor.apply_eviction(cache), 0);
    EXPECT_TRUE(cache.calls.empty());
    EXPECT_EQ(evictor.evicted_count, 0);
}

TEST(AttentionSinkEvictor, FullCacheLosesOneBatchAfterTheSinksAndShiftsTheRest) {
    AttentionSinkEvictor evictor;
    RecordingCache cache(2048);
    EXPECT_EQ(evictor.apply_eviction(cache, 0), 64);
    EXPECT_EQ(cache.calls, (std::vector<std::string>{"rm 0 4 68", "add 0 68 2048 -64"}));
    EXPECT_EQ(evictor.total_tokens, 1984);
    EXPECT_EQ(evictor.evicted_count, 64);
    EXPECT_EQ(evictor.stats().dump(),
              R"({"strategy":"attention_sink","total_evicted":64,"sink_tokens":4,)"
              R"("window_size":512,"max_cache":2048})");
}

TEST(AttentionSinkEvictor, RangeStopsAtTheRecentWindowAndFollowsSharedConfigChanges) {
    auto config = std::make_shared<EvictionConfig>(EvictionConfig{.max_cache_tokens = 600});
    AttentionSinkEvictor evictor(config);
    EXPECT_EQ(evictor.compute_eviction_range(600), (std::pair{4, 68}));
    config->max_cache_tokens = 560;
    EXPECT_EQ(evictor.compute_eviction_range(560), (std::pair{4, 48}));
    // The window reaching back to the sinks leaves nothing to evict.
    config->max_cache_tokens = 516;
    EXPECT_FALSE(evictor.compute_eviction_range(516));
    // Computed ranges count even though nobody applied them.
    EXPECT_EQ(evictor.evicted_count, 64 + 44);
}

TEST(AttentionSinkEvictor, NeverRemovesWithoutShifting) {
    AttentionSinkEvictor evictor;
    RecordingCache fixed(2048);
    fixed.shiftable = false;
    EXPECT_EQ(evictor.apply_eviction(fixed), 0);
    EXPECT_TRUE(fixed.calls.empty());
    EXPECT_EQ(evictor.evicted_count, 0);

    RecordingCache refusing(2048);
    refusing.removable = false;
    EXPECT_EQ(evictor.apply_eviction(refusing), 0);
    EXPECT_EQ(refusing.calls, (std::vector<std::string>{"rm 0 4 68"}));
    EXPECT_EQ(evictor.total_tokens, 0);

    RecordingCache failing(2048);
    failing.shift_fails = true;
    EXPECT_EQ(evictor.apply_eviction(failing), 0);
}

TEST(AttentionSinkEvictor, EvictsARealFullContextAndGenerationGoesOn) {
    platform::llama::Llama llm(
        {.model_path = testing::tiny_chat_model(), .n_ctx = 256, .n_threads = 2, .verbose = false});
    ASSERT_TRUE(llm.can_shift());
    std::vector<platform::llama::Token> text;
    while (static_cast<int>(text.size()) < llm.n_ctx()) {
        const auto sentence = llm.tokenize("the cache keeps the keys and values of every token.");
        text.insert(text.end(), sentence.begin(), sentence.end());
    }
    text.resize(static_cast<std::size_t>(llm.n_ctx()));
    llm.eval(text);
    ASSERT_EQ(llm.n_tokens(), llm.n_ctx());

    AttentionSinkEvictor evictor(
        EvictionConfig{.window_size = 64, .max_cache_tokens = llm.n_ctx()});
    EXPECT_EQ(evictor.apply_eviction(llm), 64);
    EXPECT_EQ(llm.n_tokens(), llm.n_ctx() - 64);
    EXPECT_EQ(llm.seq_pos_max(), llm.n_ctx() - 65);
    auto kept = text;
    kept.erase(kept.begin() + 4, kept.begin() + 68);
    EXPECT_EQ(llm.tokens(), kept);

    // The freed room takes new tokens and the model still continues a phrase.
    llm.eval(llm.tokenize("the cat"));
    auto sampler = llm.make_sampler({.temperature = 0.0});
    EXPECT_EQ(llm.token_to_piece(sampler.sample(llm.logits())), " sat");
    // A whole new prompt starts afresh in the evicted context.
    const auto prompt = llm.tokenize(llm.format_chat({{"user", "the cat"}}));
    EXPECT_EQ(llm.evaluate_prompt(prompt), static_cast<int>(prompt.size()));
}

TEST(ScoredEvictor, AccumulatesScoresAndRanksTheMiddle) {
    ScoredEvictor evictor;
    EXPECT_EQ(evictor.stats().dump(),
              R"({"strategy":"scored","total_evicted":0,"tracked_positions":0})");
    evictor.update_scores({1, 2});
    evictor.update_scores({1, 1, 5});
    EXPECT_EQ(evictor.scores, (std::vector<double>{2, 3, 5}));

    ScoredEvictor ranked(EvictionConfig{.sink_tokens = 1, .window_size = 1});
    ranked.update_scores({9, 3, 3, 1, 7});
    EXPECT_EQ(ranked.find_lowest_scored(2), (std::vector<int>{3, 1}));
    EXPECT_EQ(ranked.find_lowest_scored(10), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(ranked.find_lowest_scored(0), std::vector<int>{});
    EXPECT_EQ(ranked.find_lowest_scored(-1), (std::vector<int>{3, 1}));
    EXPECT_EQ(ranked.stats()["tracked_positions"], 5);
}

// Scores that once broke the ranking: each row gives the scores and the lowest two expected.
TEST(ScoredEvictor, HostileScoresRankByValueThenPosition) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<double> scores;
        std::vector<int> lowest;
    } cases[] = {
        {{0.0, -0.0, 1.0}, {0, 1}},  // -0.0 equals 0.0, so position decides
        {{-0.0, 0.0, -0.0}, {0, 1}},
        {{nan, 2.0, 1.0}, {2, 1}},  // NaN sorts last and breaks nothing
    };
    for (const auto& test : cases) {
        ScoredEvictor evictor(EvictionConfig{.sink_tokens = 0, .window_size = 0});
        evictor.update_scores(test.scores);
        EXPECT_EQ(evictor.find_lowest_scored(2), test.lowest)
            << ::testing::PrintToString(test.scores);
    }
}

}  // namespace
}  // namespace kestrune::cache
