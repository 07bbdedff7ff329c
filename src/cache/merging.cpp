#include "kestrune/cache/merging.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kestrune/core/errors.hpp"

namespace kestrune::cache {

namespace {

constexpr double kTiny = 1e-12;

double norm(const std::vector<double>& values) {
    double squares = 0.0;
    for (const double value : values) {
        squares += value * value;
    }
    return std::sqrt(squares);
}

std::int64_t at_least_zero(int value) {
    return std::max<std::int64_t>(value, 0);
}

}  // namespace

KVMerger::KVMerger(std::shared_ptr<const MergeConfig> shared_config)
    : config(std::move(shared_config)) {
    if (!config) {
        throw InvalidValueError("KVMerger needs a MergeConfig");
    }
}

KVMerger::KVMerger(MergeConfig own_config)
    : config(std::make_shared<const MergeConfig>(std::move(own_config))) {}

std::vector<MergeCandidate> KVMerger::find_merge_candidates(
    const std::vector<std::vector<double>>& key_vectors,
    const std::optional<std::vector<double>>& /*importance_scores*/) const {
    const auto count = static_cast<std::int64_t>(key_vectors.size());
    const std::int64_t protect_start = at_least_zero(config->protect_sinks);
    const std::int64_t protect_end = count - at_least_zero(config->protect_recent);
    std::vector<MergeCandidate> candidates;
    // Both positions of a pair lie below protect_end.
    for (std::int64_t i = protect_start; i + 1 < protect_end; ++i) {
        const auto first = static_cast<std::size_t>(i);
        const double similarity = _cosine_similarity(key_vectors[first], key_vectors[first + 1]);
        if (similarity >= config->similarity_threshold) {
            candidates.push_back({first, first + 1, similarity});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const MergeCandidate& a, const MergeCandidate& b) {
                         return a.similarity > b.similarity;
                     });
    const auto limit = static_cast<std::size_t>(at_least_zero(config->max_merges_per_step));
    if (candidates.size() > limit) {
        candidates.resize(limit);
    }
    return candidates;
}

std::vector<double> KVMerger::merge_entries(const std::vector<double>& values_a,
                                            const std::vector<double>& values_b, double weight_a,
                                            double weight_b) {
    double total = weight_a + weight_b;
    if (total < kTiny) {
        total = 1.0;
    }
    const std::size_t length = std::min(values_a.size(), values_b.size());
    std::vector<double> merged(length);
    for (std::size_t i = 0; i < length; ++i) {
        merged[i] = (values_a[i] * weight_a + values_b[i] * weight_b) / total;
    }
    return merged;
}

double KVMerger::_cosine_similarity(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t common = std::min(a.size(), b.size());
    double dot = 0.0;
    for (std::size_t i = 0; i < common; ++i) {
        dot += a[i] * b[i];
    }
    const double norm_a = norm(a);
    const double norm_b = norm(b);
    if (norm_a < kTiny || norm_b < kTiny) {
        return 0.0;
    }
    return dot / (norm_a * norm_b);
}

MergeStats KVMerger::stats() const {
    return {config->strategy, total_merged, config->similarity_threshold};
}

}  // namespace kestrune::cache
