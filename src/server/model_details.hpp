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
// The header's metadata as one object, plus the chat template (absent: "").
Json model_metadata(const std::string& path);
std::string chat_template(const std::string& path);

}  // namespace kestrune::server
