// The model and plan records, and the planner that decides how a model is loaded on this
// machine.
//
// Planning rule (sizes in MB; the KV cache counted as f16 keys and values for every layer):
//   context: the wanted context, else the trained context capped at 8192 (4096 when unknown);
//   memory:  the context is halved (not below 512) while weights + KV cache exceed RAM + VRAM;
//   layers:  all on the GPU when weights + KV cache fit in VRAM less a reserve, else the share
//            of layers that fits (none without a GPU); the VRAM counted is what the GPUs have
//            free when that was measured, else their total.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::engine {

struct HardwareProfile;

// Description of one model file, derived from its GGUF header.
struct KESTRUNE_API ModelSpec {
    std::string name;
    std::int64_t file_size_mb = 0;
    double n_params_b = 0.0;
    // Counts as wide as a GGUF header may store them.
    std::int64_t n_layers = 0;
    std::int64_t n_heads = 0;
    std::int64_t n_kv_heads = 0;
    std::int64_t head_dim = 0;
    std::int64_t context_length = 0;
    bool is_moe = false;

    bool operator==(const ModelSpec&) const = default;
};

// The records as JSON, keys named and ordered as the fields.
KESTRUNE_API void to_json(Json& json, const ModelSpec& spec);

// An RPC worker as a plan uses it: its address (host:port), the free memory it reported, and
// the layers given to it.
struct KESTRUNE_API WorkerShare {
    std::string endpoint;
    std::int64_t free_mb = 0;
    int n_layers = 0;

    bool operator==(const WorkerShare&) const = default;
};

// How to load a model: layers on the GPU (passed to the library unchanged; greater than 0
// means GPU+CPU), layers left on the CPU (only printed), and the context length in tokens.
// With workers, the layers of this machine are the model's first ones and the workers hold the
// rest, in order.
struct KESTRUNE_API InferencePlan {
    int n_gpu_layers = 0;
    int n_cpu_layers = 0;
    int max_context = 4096;
    std::vector<WorkerShare> workers = {};

    bool operator==(const InferencePlan&) const = default;
};

// The keys of the fields; "workers" only when there are any.
KESTRUNE_API void to_json(Json& json, const InferencePlan& plan);
KESTRUNE_API void to_json(Json& json, const WorkerShare& worker);

// MB of an f16 KV cache (keys and values of every layer) for `context` tokens.
KESTRUNE_API double kv_cache_mb(const ModelSpec& spec, int context);

KESTRUNE_API InferencePlan plan_inference(const ModelSpec& spec, const HardwareProfile& hardware,
                                          std::optional<int> wanted_context = std::nullopt);

// `plan` with the model's layers spread over this machine (`local_free_mb` free) and the
// workers in proportion to the free memory of each; of this machine's share, the plan's GPU
// layers stay on the GPU as far as they go and the rest go to the CPU.
KESTRUNE_API InferencePlan split_across_workers(const InferencePlan& plan, const ModelSpec& spec,
                                                std::int64_t local_free_mb,
                                                std::vector<WorkerShare> workers);

// The lines that show a split: this machine's layers, then each worker's.
KESTRUNE_API std::vector<std::string> describe_split(const InferencePlan& plan);

}  // namespace kestrune::engine
