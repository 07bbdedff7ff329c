// Merging of similar adjacent KV cache entries, an alternative to hard eviction: pairs of
// adjacent tokens whose key vectors are nearly parallel are proposed for merging, and their
// value vectors are combined by a weighted average. Works on plain vectors supplied by the
// caller; it never touches a model and keeps no cache of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"

namespace kestrune::cache {

// Configuration for KV merging.
struct KESTRUNE_API MergeConfig {
    std::string strategy = "weighted";   // only reported by stats
    double similarity_threshold = 0.85;  // least cosine similarity of a candidate pair
    int max_merges_per_step = 32;        // most candidates one search returns
    int protect_recent = 128;            // most recent positions never proposed
    int protect_sinks = 4;               // leading positions never proposed
};

// Two adjacent positions whose key vectors are similar enough to merge.
struct KESTRUNE_API MergeCandidate {
    std::size_t first = 0;
    std::size_t second = 0;
    double similarity = 0.0;

    bool operator==(const MergeCandidate&) const = default;
};

struct KESTRUNE_API MergeStats {
    std::string strategy;
    std::int64_t total_merged = 0;
    double similarity_threshold = 0.0;

    bool operator==(const MergeStats&) const = default;
};

class KESTRUNE_API KVMerger {
  public:
    // The merger reads the shared settings at each call, so changes the caller makes to them
    // later take effect.
    explicit KVMerger(std::shared_ptr<const MergeConfig> config);
    explicit KVMerger(MergeConfig config);

    // Adjacent pairs outside the protected sinks and recent window whose similarity reaches
    // the threshold, most similar first (ties in position order), at most
    // max_merges_per_step of them. Negative protection counts or limits count as 0.
    // `importance_scores` is accepted and has no effect.
    std::vector<MergeCandidate> find_merge_candidates(
        const std::vector<std::vector<double>>& key_vectors,
        const std::optional<std::vector<double>>& importance_scores = std::nullopt) const;

    // Weighted merge of two value vectors, as long as the shorter one. Weights summing to
    // less than 1e-12 are divided by 1.0 instead.
    static std::vector<double> merge_entries(const std::vector<double>& values_a,
                                             const std::vector<double>& values_b,
                                             double weight_a = 0.5, double weight_b = 0.5);

    // Cosine similarity between two vectors: the dot product over the common length, the
    // norms over each full length; 0.0 when either norm is below 1e-12.
    KESTRUNE_LOCAL static double _cosine_similarity(const std::vector<double>& a,
                                                    const std::vector<double>& b);

    MergeStats stats() const;

    std::shared_ptr<const MergeConfig> config;
    std::int64_t total_merged = 0;  // reported by stats; no operation here changes it
};

}  // namespace kestrune::cache
