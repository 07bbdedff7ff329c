#include "kestrune/cache/merging.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace kestrune::cache {
namespace {

using Vectors = std::vector<std::vector<double>>;

MergeConfig unprotected(double threshold, int max_merges = 32) {
    return MergeConfig{.strategy = "weighted",
                       .similarity_threshold = threshold,
                       .max_merges_per_step = max_merges,
                       .protect_recent = 0,
                       .protect_sinks = 0};
}

TEST(FindMergeCandidates, SkipsSinksAndRecentWindow) {
    const KVMerger merger{MergeConfig{}};
    EXPECT_TRUE(merger.find_merge_candidates(Vectors(132, {3.0, 4.0})).empty());
    EXPECT_EQ(merger.find_merge_candidates(Vectors(134, {3.0, 4.0})),
              (std::vector<MergeCandidate>{{4, 5, 1.0}}));
    EXPECT_TRUE(merger.find_merge_candidates(Vectors(3, {1.0})).empty());
}

TEST(FindMergeCandidates, KeepsPairsReachingTheThreshold) {
    const Vectors keys{{1.0, 0.0}, {0.0, 1.0}, {3.0, 4.0}, {3.0, 4.0}};
    const double diagonal = KVMerger::_cosine_similarity(keys[1], keys[2]);
    const KVMerger merger{unprotected(diagonal)};
    // Orthogonal (0, 1) stays out; exactly the threshold (1, 2) is in.
    EXPECT_EQ(merger.find_merge_candidates(keys),
              (std::vector<MergeCandidate>{{2, 3, 1.0}, {1, 2, diagonal}}));
}

TEST(FindMergeCandidates, ReturnsTheMostSimilarFirstAndTiesInPositionOrder) {
    // Positions 2, 5, 8, ... hold y, all others x: pairs starting at 0, 3, 6, ... are
    // identical, all other pairs share one lower similarity.
    const std::vector<double> x{1.0, 0.0};
    const std::vector<double> y{1.0, 1.0};
    Vectors keys;
    for (int i = 0; i < 60; ++i) {
        keys.push_back(i % 3 == 2 ? y : x);
    }
    const double lower = KVMerger::_cosine_similarity(x, y);
    const auto candidates = KVMerger{unprotected(0.5)}.find_merge_candidates(keys);
    ASSERT_EQ(candidates.size(), 32u);
    std::vector<MergeCandidate> expected;
    for (std::size_t i = 0; i + 1 < keys.size(); i += 3) {
        expected.push_back({i, i + 1, 1.0});
    }
    for (std::size_t i = 1; expected.size() < 32; ++i) {
        if (i % 3 != 0) {
            expected.push_back({i, i + 1, lower});
        }
    }
    EXPECT_EQ(candidates, expected);

    EXPECT_EQ(KVMerger{unprotected(0.5, 2)}.find_merge_candidates(keys),
              (std::vector<MergeCandidate>{{0, 1, 1.0}, {3, 4, 1.0}}));
}

TEST(FindMergeCandidates, NegativeSettingsCountAsZero) {
    const Vectors keys(5, {1.0});
    MergeConfig config = unprotected(0.5);
    config.protect_sinks = -2;
    config.protect_recent = -3;
    // No pair wraps around from the last vector to the first, none reaches past the end.
    EXPECT_EQ(KVMerger{config}.find_merge_candidates(keys).size(), 4u);
    config.max_merges_per_step = -1;
    EXPECT_TRUE(KVMerger{config}.find_merge_candidates(keys).empty());
}

TEST(KVMerger, ReadsSharedSettingsAtEachCall) {
    auto config = std::make_shared<MergeConfig>(unprotected(0.99));
    const KVMerger merger{config};
    const Vectors keys{{1.0, 0.0}, {1.0, 1.0}};
    EXPECT_TRUE(merger.find_merge_candidates(keys).empty());
    config->similarity_threshold = 0.5;
    config->strategy = "average";
    EXPECT_EQ(merger.find_merge_candidates(keys).size(), 1u);
    EXPECT_EQ(merger.stats(), (MergeStats{"average", 0, 0.5}));
    EXPECT_EQ(KVMerger{MergeConfig{}}.stats(), (MergeStats{"weighted", 0, 0.85}));
}

TEST(MergeEntries, AveragesByWeightOverTheCommonLength) {
    EXPECT_EQ(KVMerger::merge_entries({1, 2}, {3, 4}), (std::vector<double>{2.0, 3.0}));
    EXPECT_EQ(KVMerger::merge_entries({1, 2}, {3, 4}, 3, 1), (std::vector<double>{1.5, 2.5}));
    EXPECT_EQ(KVMerger::merge_entries({1, 2, 3}, {1}), (std::vector<double>{1.0}));
    // Sums below 1e-12 divide by 1.0: zero weights give zeros, not NaN.
    EXPECT_EQ(KVMerger::merge_entries({1, 2}, {3, 4}, 0, 0), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(KVMerger::merge_entries({1, 2}, {3, 4}, 1, -2), (std::vector<double>{-5.0, -6.0}));
}

TEST(CosineSimilarity, UsesCommonLengthForDotAndFullLengthForNorms) {
    EXPECT_DOUBLE_EQ(KVMerger::_cosine_similarity({1, 0}, {1, 0, 5}), 1.0 / std::sqrt(26.0));
    EXPECT_EQ(KVMerger::_cosine_similarity({}, {1, 2}), 0.0);
    EXPECT_EQ(KVMerger::_cosine_similarity({0, 0}, {1, 2}), 0.0);
    EXPECT_EQ(KVMerger::_cosine_similarity({1e-13}, {1e-13}), 0.0);
    EXPECT_DOUBLE_EQ(KVMerger::_cosine_similarity({1, 2}, {-1, -2}), -1.0);
}

}  // namespace
}  // namespace kestrune::cache
