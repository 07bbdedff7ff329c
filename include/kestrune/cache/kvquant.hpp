// KV cache element types: their names and llama.cpp identifiers, how much each shrinks the
// cache against f16, a recommended pair of types for a model, a memory budget and a context,
// and whether the inference library can be used at all. No state, no I/O.
//
// The extended types "turbo4_0", "turbo3_0" and "turbo2_0" exist only in special builds of
// the library; this module only names them (the binding checks them before use).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::cache::kvquant {

struct KESTRUNE_API KvQuantConfig {
    std::string k_type = "turbo4_0";
    std::string v_type = "turbo4_0";
    std::string fallback = "f16";
    bool enabled = true;

    bool operator==(const KvQuantConfig&) const = default;
};

// The record as JSON, keys named and ordered as the fields.
KESTRUNE_API void to_json(Json& json, const KvQuantConfig& config);

// Ordered tables from a type name to a value, rows in their documented order.
using TypeIds = std::vector<std::pair<std::string, int>>;
using TypeRatios = std::vector<std::pair<std::string, double>>;

// The extended types' identifiers.
inline const TypeIds TURBO_TYPE_IDS = {{"turbo4_0", 41}, {"turbo3_0", 42}, {"turbo2_0", 43}};

// How many times smaller than f16 each type makes the cache (below 1: larger).
inline const TypeRatios COMPRESSION_RATIOS = {
    {"f16", 1.0},      {"f32", 0.5},      {"q8_0", 1.9},    {"q4_0", 3.6},
    {"turbo4_0", 3.6}, {"turbo3_0", 4.6}, {"turbo2_0", 6.4}};

// Whether the inference library's binding can be used.
KESTRUNE_API bool check_kvquant_support();

// The identifier of a standard type (f16 1, f32 0, q8_0 8, q4_0 2, q4_1 3, q5_0 6, q5_1 7),
// else of an extended type in `turbo_ids`, else 1 (f16). Callers that know further extended
// types pass a longer table.
KESTRUNE_API int get_kv_type_id(std::string_view type_name,
                                const TypeIds& turbo_ids = TURBO_TYPE_IDS);

// The KV cache types for a model of `model_params_b` billion parameters on
// `available_vram_mb` MB of GPU memory at `target_context` tokens. The f16 cache is estimated
// at 2 MB per billion parameters per 1024 tokens and the weights at 500 MB per billion; at
// least 30 % of the GPU memory always counts as free for the cache. Then, first match wins:
//   f16 cache < half the free memory   -> f16/f16, disabled
//   f16 cache < free memory            -> turbo4_0
//   f16 cache / 3.6 < free memory      -> turbo3_0
//   otherwise                          -> turbo2_0
KESTRUNE_API KvQuantConfig recommend_kv_config(double model_params_b,
                                               std::int64_t available_vram_mb,
                                               std::int64_t target_context);

}  // namespace kestrune::cache::kvquant

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace kvquant = cache::kvquant;
}  // namespace kestrune
