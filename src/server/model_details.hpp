// What the servers say about model files: the models this machine holds, and each one's
// details and metadata as its GGUF header gives them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace kestrune::server {

class ModelPool;

struct LocalModel {
    std::string name;
    std::string path;
    std::int64_t size_bytes = 0;
    std::chrono::system_clock::time_point modified;
};

// The models served by name (the default one, those loaded since) and those the registry
// holds; each file once, by its short name.
std::vector<LocalModel> local_models(const ModelPool& pool);
LocalModel describe_file(const std::string& name, const std::string& path);

// {"parent_model", "format", "family", "families", "parameter_size", "quantization_level"}.
Json model_details(const std::string& path);
// What Ollama's /api/show tells of a model: {"license", "template" (the chat template, ""
// when none), "details", "model_info" (the header's metadata but the template),
// "capabilities" ("embedding"; or "completion", with "tools" and "thinking" where the
// template takes them)}.
Json model_card(const std::string& path);

}  // namespace kestrune::server
