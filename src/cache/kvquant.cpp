#include "kestrune/cache/kvquant.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/llama/binding.hpp"

namespace kestrune::cache::kvquant {

namespace {

// ggml's type enumeration values for the types every build has.
const TypeIds kStandardTypeIds = {{"f16", 1},  {"f32", 0},  {"q8_0", 8}, {"q4_0", 2},
                                  {"q4_1", 3}, {"q5_0", 6}, {"q5_1", 7}};

const int* find_id(const TypeIds& table, std::string_view name) {
    const auto row = std::find_if(table.begin(), table.end(),
                                  [&](const auto& entry) { return entry.first == name; });
    return row != table.end() ? &row->second : nullptr;
}

KvQuantConfig both(const std::string& type) {
    return {type, type, "f16", true};
}

}  // namespace

bool check_kvquant_support() {
    return platform::llama::binding_available();
}

int get_kv_type_id(std::string_view type_name, const TypeIds& turbo_ids) {
    if (const int* id = find_id(kStandardTypeIds, type_name)) {
        return *id;
    }
    if (const int* id = find_id(turbo_ids, type_name)) {
        return *id;
    }
    return 1;
}

KvQuantConfig recommend_kv_config(double model_params_b, std::int64_t available_vram_mb,
                                  std::int64_t target_context) {
    const auto vram = static_cast<double>(available_vram_mb);
    const double kv_f16_mb = 2.0 * model_params_b * (static_cast<double>(target_context) / 1024.0);
    const double model_weight_mb = 500.0 * model_params_b;
    const double free_for_kv = std::max(vram - model_weight_mb, 0.3 * vram);
    if (kv_f16_mb < 0.5 * free_for_kv) {
        return {"f16", "f16", "f16", false};
    }
    if (kv_f16_mb < free_for_kv) {
        return both("turbo4_0");
    }
    if (kv_f16_mb / 3.6 < free_for_kv) {
        return both("turbo3_0");
    }
    return both("turbo2_0");
}

void to_json(Json& json, const KvQuantConfig& config) {
    json = {{"k_type", config.k_type},
            {"v_type", config.v_type},
            {"fallback", config.fallback},
            {"enabled", config.enabled}};
}

}  // namespace kestrune::cache::kvquant
