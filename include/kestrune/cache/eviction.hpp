// KV cache eviction for long generations, after StreamingLLM: the first tokens (attention
// sinks) and a recent window stay, the tokens between them are removed in batches once the
// cache is full, and the positions after the removed range move down so the sequence stays
// contiguous. ScoredEvictor only accumulates attention scores and names the weakest positions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::platform::llama {
class Llama;
}

namespace kestrune::cache {

// Configuration for token eviction.
struct KESTRUNE_API EvictionConfig {
    std::string strategy = "attention_sink";
    int sink_tokens = 4;
    int window_size = 512;
    int max_cache_tokens = 2048;
    int eviction_batch = 64;

    bool operator==(const EvictionConfig&) const = default;
};

// What eviction needs of a model: its token count and two KV cache sequence operations
// (positions [p0, p1), p1 < 0 meaning to the end).
class KESTRUNE_API KvCacheTarget {
  public:
    virtual ~KvCacheTarget() = default;
    virtual int n_tokens() const = 0;
    // False when the range could not be removed.
    virtual bool kv_cache_seq_rm(int seq_id, int p0, int p1) = 0;
    virtual void kv_cache_seq_add(int seq_id, int p0, int p1, int delta) = 0;
    // Whether positions can be shifted at all.
    virtual bool can_shift() const = 0;

  protected:
    KvCacheTarget() = default;
    KvCacheTarget(const KvCacheTarget&) = default;
    KvCacheTarget& operator=(const KvCacheTarget&) = default;
};

// The binding's model as a KvCacheTarget.
class KESTRUNE_API LlamaCacheTarget final : public KvCacheTarget {
  public:
    explicit LlamaCacheTarget(platform::llama::Llama& llm) : llm_(&llm) {}
    int n_tokens() const override;
    bool kv_cache_seq_rm(int seq_id, int p0, int p1) override;
    void kv_cache_seq_add(int seq_id, int p0, int p1, int delta) override;
    bool can_shift() const override;

  private:
    platform::llama::Llama* llm_;
};

class KESTRUNE_API AttentionSinkEvictor {
  public:
    // The configuration is shared with the caller: later changes to it take effect.
    explicit AttentionSinkEvictor(std::shared_ptr<EvictionConfig> config_);
    explicit AttentionSinkEvictor(EvictionConfig config_ = {});

    // Check if eviction is needed.
    bool should_evict(int current_tokens) const;
    // The range [start, end) to evict for a cache of `current_tokens`, or nothing. Counts the
    // range in evicted_count even when the caller never applies it.
    std::optional<std::pair<int, int>> compute_eviction_range(int current_tokens);
    // Evicts one range from the model's cache and returns how many positions went. A model
    // whose cache cannot shift positions, or whose cache operations fail, gets 0 and keeps
    // every position: a removal is never left without its shift.
    int apply_eviction(KvCacheTarget& llm, int seq_id = 0);
    // The library's own model, which its users never hold: not exported.
    KESTRUNE_LOCAL int apply_eviction(platform::llama::Llama& llm, int seq_id = 0);

    // {"strategy", "total_evicted", "sink_tokens", "window_size", "max_cache"}, in this order.
    Json stats() const;

    std::shared_ptr<EvictionConfig> config;
    int total_tokens = 0;
    int evicted_count = 0;
};

class KESTRUNE_API ScoredEvictor {
  public:
    explicit ScoredEvictor(std::shared_ptr<EvictionConfig> config_);
    explicit ScoredEvictor(EvictionConfig config_ = {});

    // Accumulate attention scores per token position.
    void update_scores(const std::vector<double>& attention_weights);
    // Find positions of lowest-scored tokens (excluding sinks and the recent window), lowest
    // first, ties by position. A negative n_evict drops that many from the end of the ranking.
    std::vector<int> find_lowest_scored(int n_evict) const;

    // {"strategy": "scored", "total_evicted", "tracked_positions"}, in this order.
    Json stats() const;

    std::shared_ptr<EvictionConfig> config;
    std::vector<double> scores;
    int evicted_count = 0;
};

}  // namespace kestrune::cache
