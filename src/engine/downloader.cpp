#include "kestrune/engine/downloader.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <span>
#include <string_view>

#include "core/json.hpp"
#include "engine/downloader_internal.hpp"
#include "kestrune/registry/store.hpp"

namespace kestrune::engine::downloader {

namespace {

using SizeWords = std::array<std::string_view, 5>;

constexpr SizeWords kLargeWords{"70b", "72b", "122b", "235b", "671b"};
constexpr SizeWords kMediumWords{"24b", "27b", "30b", "32b", "35b"};
constexpr std::array<std::string_view, 2> kSmallWords{"12b", "14b"};

std::string lower_case(std::string text) {
    std::ranges::transform(text, text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool mentions_any(const std::string& name, std::span<const std::string_view> words) {
    return std::ranges::any_of(
        words, [&](std::string_view word) { return name.find(word) != std::string::npos; });
}

}  // namespace

std::string recommend_quant(const std::string& model_name,
                            const engine::HardwareProfile& hardware) {
    const std::int64_t total_mb = hardware.total_vram_mb + hardware.ram_mb;
    const std::string name = lower_case(model_name);

    if (mentions_any(name, kLargeWords)) {
        if (total_mb > 48000) {
            return "Q4_K_M";
        }
        return total_mb > 32000 ? "IQ2_M" : "IQ2_XXS";
    }
    if (mentions_any(name, kMediumWords)) {
        if (total_mb > 32000) {
            return "Q4_K_M";
        }
        return total_mb > 16000 ? "Q2_K" : "IQ2_M";
    }
    if (mentions_any(name, kSmallWords)) {
        return total_mb > 16000 ? "Q4_K_M" : "Q2_K";
    }
    return hardware.total_vram_mb > 8000 ? "Q8_0" : "Q4_K_M";
}

std::optional<std::string> pull_model(const std::string& model_name, const std::string& quant) {
    return registry::RegistryStore().pull(model_name,
                                          quant == "auto" ? recommend_quant(model_name) : quant);
}

std::optional<std::string> resolve_local_model(const std::string& name) {
    return registry::RegistryStore().resolve(name);
}

std::vector<Json> list_local_models() {
    return registry::RegistryStore().list_local();
}

std::vector<Json> search_models(const std::string& query) {
    return registry::RegistryStore::search(query);
}

std::optional<Json> _find_in_catalog(const std::string& name) {
    const std::optional<std::string> path = registry::RegistryStore().resolve(name);
    if (!path || path->empty()) {
        return std::nullopt;
    }
    Json record = Json::object();
    record["name"] = name;
    record["path"] = *path;
    return record;
}

std::optional<std::string> download_model(const std::string& model_name, const std::string& quant,
                                          const std::string& /*output_dir*/) {
    return pull_model(model_name, quant);
}

}  // namespace kestrune::engine::downloader
