#include "kestrune/cache/eviction.hpp"

#include <algorithm>
#include <compare>
#include <exception>

#include "core/json.hpp"
#include "platform/llama/binding.hpp"

namespace kestrune::cache {

int LlamaCacheTarget::n_tokens() const {
    return llm_->n_tokens();
}

bool LlamaCacheTarget::kv_cache_seq_rm(int seq_id, int p0, int p1) {
    return llm_->kv_cache_seq_rm(seq_id, p0, p1);
}

void LlamaCacheTarget::kv_cache_seq_add(int seq_id, int p0, int p1, int delta) {
    llm_->kv_cache_seq_add(seq_id, p0, p1, delta);
}

bool LlamaCacheTarget::can_shift() const {
    return llm_->can_shift();
}

// ---------------------------------------------------------------------------------------------

AttentionSinkEvictor::AttentionSinkEvictor(std::shared_ptr<EvictionConfig> config_)
    : config(std::move(config_)) {}

AttentionSinkEvictor::AttentionSinkEvictor(EvictionConfig config_)
    : config(std::make_shared<EvictionConfig>(std::move(config_))) {}

bool AttentionSinkEvictor::should_evict(int current_tokens) const {
    return current_tokens >= config->max_cache_tokens;
}

std::optional<std::pair<int, int>> AttentionSinkEvictor::compute_eviction_range(
    int current_tokens) {
    if (!should_evict(current_tokens)) {
        return std::nullopt;
    }
    const int start = config->sink_tokens;
    const int end = current_tokens - config->window_size;
    if (end <= start) {
        return std::nullopt;
    }
    const int evict_end = std::min(end, start + config->eviction_batch);
    evicted_count += evict_end - start;
    return std::pair{start, evict_end};
}

int AttentionSinkEvictor::apply_eviction(KvCacheTarget& llm, int seq_id) {
    try {
        if (!llm.can_shift()) {
            return 0;
        }
        const int n_tokens = llm.n_tokens();
        const auto eviction = compute_eviction_range(n_tokens);
        if (!eviction) {
            return 0;
        }
        const auto [start, end] = *eviction;
        const int n_evict = end - start;
        if (!llm.kv_cache_seq_rm(seq_id, start, end)) {
            return 0;
        }
        llm.kv_cache_seq_add(seq_id, end, n_tokens, -n_evict);
        total_tokens = n_tokens - n_evict;
        return n_evict;
    } catch (const std::exception&) {
        return 0;
    }
}

int AttentionSinkEvictor::apply_eviction(platform::llama::Llama& llm, int seq_id) {
    LlamaCacheTarget target(llm);
    return apply_eviction(target, seq_id);
}

nlohmann::ordered_json AttentionSinkEvictor::stats() const {
    nlohmann::ordered_json stats;
    stats["strategy"] = config->strategy;
    stats["total_evicted"] = evicted_count;
    stats["sink_tokens"] = config->sink_tokens;
    stats["window_size"] = config->window_size;
    stats["max_cache"] = config->max_cache_tokens;
    return stats;
}

// ---------------------------------------------------------------------------------------------

ScoredEvictor::ScoredEvictor(std::shared_ptr<EvictionConfig> config_)
    : config(std::move(config_)) {}

ScoredEvictor::ScoredEvictor(EvictionConfig config_)
    : config(std::make_shared<EvictionConfig>(std::move(config_))) {}

void ScoredEvictor::update_scores(const std::vector<double>& attention_weights) {
    for (std::size_t i = 0; i < attention_weights.size(); ++i) {
        if (i < scores.size()) {
            scores[i] += attention_weights[i];
        } else {
            scores.push_back(attention_weights[i]);
        }
    }
}

std::vector<int> ScoredEvictor::find_lowest_scored(int n_evict) const {
    const int sink = config->sink_tokens;
    const int recent = static_cast<int>(scores.size()) - config->window_size;
    std::vector<std::pair<double, int>> candidates;
    for (int pos = std::max(sink, 0); pos < recent; ++pos) {
        // -0.0 folds into 0.0: the total order below would otherwise rank it lower.
        const double score = scores[static_cast<std::size_t>(pos)];
        candidates.emplace_back(score == 0.0 ? 0.0 : score, pos);
    }
    // A total order on the scores, so a NaN weight cannot break the sort.
    std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
        const auto order = std::strong_order(a.first, b.first);
        return order < 0 || (order == 0 && a.second < b.second);
    });
    const auto count = static_cast<int>(candidates.size());
    const int taken = n_evict >= 0 ? std::min(n_evict, count) : std::max(count + n_evict, 0);
    std::vector<int> positions;
    for (int i = 0; i < taken; ++i) {
        positions.push_back(candidates[static_cast<std::size_t>(i)].second);
    }
    return positions;
}

nlohmann::ordered_json ScoredEvictor::stats() const {
    nlohmann::ordered_json stats;
    stats["strategy"] = "scored";
    stats["total_evicted"] = evicted_count;
    stats["tracked_positions"] = scores.size();
    return stats;
}

}  // namespace kestrune::cache
