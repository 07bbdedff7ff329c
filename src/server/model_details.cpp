#include "server/model_details.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/engine/inventory.hpp"
#include "kestrune/engine/model_info.hpp"
#include "server/model_pool.hpp"

namespace kestrune::server {

namespace {

namespace fs = std::filesystem;

// llama.cpp's file types (general.file_type) by number.
constexpr std::array<std::pair<std::uint64_t, const char*>, 17> kFileTypes = {{
    {0, "F32"},
    {1, "F16"},
    {2, "Q4_0"},
    {3, "Q4_1"},
    {7, "Q8_0"},
    {8, "Q5_0"},
    {9, "Q5_1"},
    {10, "Q2_K"},
    {11, "Q3_K_S"},
    {12, "Q3_K_M"},
    {13, "Q3_K_L"},
    {14, "Q4_K_S"},
    {15, "Q4_K_M"},
    {16, "Q5_K_S"},
    {17, "Q5_K_M"},
    {18, "Q6_K"},
    {32, "BF16"},
}};

std::string text_value(const ggufmeta::GgufMetadata& metadata, std::string_view key) {
    const auto* value = metadata.find(key);
    const auto* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
    return text != nullptr ? *text : "";
}

std::string quantization_level(const ggufmeta::GgufMetadata& metadata) {
    const auto* value = metadata.find("general.file_type");
    const auto* number = value != nullptr ? std::get_if<std::uint64_t>(value) : nullptr;
    if (number == nullptr) {
        return "";
    }
    const auto known =
        std::ranges::find(kFileTypes, *number, &std::pair<std::uint64_t, const char*>::first);
    return known != kFileTypes.end() ? known->second : "";
}

// "151.2M", "7.2B".
std::string parameter_size(double billions) {
    std::array<char, 32> text{};
    if (billions < 1.0) {
        std::snprintf(text.data(), text.size(), "%.1fM", billions * 1000.0);
    } else {
        std::snprintf(text.data(), text.size(), "%.1fB", billions);
    }
    return text.data();
}

}  // namespace

LocalModel describe_file(const std::string& name, const std::string& path) {
    LocalModel model{.name = name, .path = path, .size_bytes = 0, .modified = {}};
    std::error_code error;
    model.size_bytes = static_cast<std::int64_t>(fs::file_size(path, error));
    const auto written = fs::last_write_time(path, error);
    if (!error) {
        model.modified = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
            std::chrono::file_clock::to_sys(written));
    }
    return model;
}

std::vector<LocalModel> local_models(const ModelPool& pool) {
    std::vector<std::pair<std::string, std::string>> found;  // name, path
    for (const KnownModel& known : pool.known()) {
        found.emplace_back(known.name, known.path);
    }
    // Every store on this machine: Kestrune's cache and other runtimes'.
    for (const inventory::LocalModel& model : inventory::list_models()) {
        found.emplace_back(model.name, model.path);
    }
    std::vector<LocalModel> models;
    for (const auto& [name, path] : found) {
        if (!name.empty() && !path.empty() &&
            std::ranges::find(models, path, &LocalModel::path) == models.end()) {
            models.push_back(describe_file(name, path));
        }
    }
    return models;
}

namespace {

Json details_of(const ggufmeta::GgufMetadata& metadata, const std::string& path) {
    const std::string family = text_value(metadata, "general.architecture");
    return {{"parent_model", ""},
            {"format", "gguf"},
            {"family", family},
            {"families", Json::array({family})},
            {"parameter_size", parameter_size(ggufmeta::gguf_to_model_spec(path).n_params_b)},
            {"quantization_level", quantization_level(metadata)}};
}

// What the model does, as far as its header tells: an encoder that names a pooling gives
// embeddings; any other completes text, and its chat template tells whether it takes tools
// and thinks first.
Json capabilities_of(const ggufmeta::GgufMetadata& metadata, const std::string& chat_template) {
    const std::string family = text_value(metadata, "general.architecture");
    if (family.find("bert") != std::string::npos ||
        metadata.find(family + ".pooling_type") != nullptr) {
        return Json::array({"embedding"});
    }
    Json capabilities = Json::array({"completion"});
    if (chat_template.find("tools") != std::string::npos) {
        capabilities.push_back("tools");
    }
    if (chat_template.find("enable_thinking") != std::string::npos ||
        chat_template.find("<think>") != std::string::npos) {
        capabilities.push_back("thinking");
    }
    return capabilities;
}

}  // namespace

Json model_details(const std::string& path) {
    return details_of(ggufmeta::read_gguf_metadata(path), path);
}

Json model_card(const std::string& path) {
    // One read of the header: it may hold many thousands of keys.
    const auto metadata = ggufmeta::read_gguf_metadata(path);
    const std::string chat_template = text_value(metadata, "tokenizer.chat_template");
    Json info = metadata;
    info.erase("tokenizer.chat_template");
    return {{"license", text_value(metadata, "general.license")},
            {"template", chat_template},
            {"details", details_of(metadata, path)},
            {"model_info", std::move(info)},
            {"capabilities", capabilities_of(metadata, chat_template)}};
}

}  // namespace kestrune::server
