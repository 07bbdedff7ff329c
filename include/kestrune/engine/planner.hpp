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

// How to load a model: layers on the GPU (passed to the library unchanged; greater than 0
// means GPU+CPU), layers left on the CPU (only printed), and the context length in tokens.
struct KESTRUNE_API InferencePlan {
    int n_gpu_layers = 0;
    int n_cpu_layers = 0;
    int max_context = 4096;

    bool operator==(const InferencePlan&) const = default;
};

KESTRUNE_API void to_json(Json& json, const InferencePlan& plan);

// MB of an f16 KV cache (keys and values of every layer) for `context` tokens.
KESTRUNE_API double kv_cache_mb(const ModelSpec& spec, int context);

KESTRUNE_API InferencePlan plan_inference(const ModelSpec& spec, const HardwareProfile& hardware,
                                          std::optional<int> wanted_context = std::nullopt);

}  // namespace kestrune::engine
