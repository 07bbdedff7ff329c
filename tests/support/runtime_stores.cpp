#include "support/runtime_stores.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "core/json.hpp"

namespace kestrune::testing {

namespace fs = std::filesystem;

WorkingDirectory::WorkingDirectory(const std::string& directory)
    : previous_(fs::current_path().string()) {
    fs::current_path(directory);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

void write_file(const std::string& path, std::string_view content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string write_file_of_size(const std::string& path, std::size_t size) {
    write_file(path, std::string(size, 'x'));
    return path;
}

std::string ollama_digest(char digit) {
    return "sha256:" + std::string(64, digit);
}

std::string ollama_manifest_path(const std::string& models_dir, const std::string& name,
                                 const std::string& tag) {
    return (fs::path(models_dir) / "manifests" / "registry.ollama.ai" / "library" / name / tag)
        .string();
}

std::string ollama_manifest(const std::vector<OllamaLayer>& layers) {
    Json manifest = {
        {"schemaVersion", 2},
        {"mediaType", "application/vnd.docker.distribution.manifest.v2+json"},
        {"config",
         {{"mediaType", "application/vnd.docker.container.image.v1+json"},
          {"digest", ollama_digest('c')},
          {"size", 485}}},
        {"layers", Json::array()},
    };
    for (const auto& layer : layers) {
        manifest["layers"].push_back(
            {{"mediaType", layer.media_type}, {"digest", layer.digest}, {"size", 4096}});
    }
    return manifest.dump(2);
}

std::string ollama_blob_path(const std::string& models_dir, const std::string& digest) {
    std::string name = digest;
    std::ranges::replace(name, ':', '-');
    return (fs::path(models_dir) / "blobs" / name).string();
}

}  // namespace kestrune::testing
