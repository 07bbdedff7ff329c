// A working directory for one scope, and the on-disk stores of other runtimes in their own
// layouts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

// The process works in `directory` while the object lives.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& directory);
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    ~WorkingDirectory();

  private:
    std::string previous_;
};

// Writes `content` to `path`, creating the missing parent directories.
void write_file(const std::string& path, std::string_view content);

// Writes a file of `size` bytes (parents created) and returns its path.
std::string write_file_of_size(const std::string& path, std::size_t size);

struct OllamaLayer {
    std::string media_type;  // e.g. "application/vnd.ollama.image.model"
    std::string digest;      // "sha256:<hex>"
};

// A digest of the real shape, "sha256:" and 64 hex digits made of `digit`.
std::string ollama_digest(char digit);

// models/manifests/registry.ollama.ai/library/<name>/<tag> below the Ollama models directory.
std::string ollama_manifest_path(const std::string& models_dir, const std::string& name,
                                 const std::string& tag);

// A manifest as Ollama writes it: schema version, config and the given layers.
std::string ollama_manifest(const std::vector<OllamaLayer>& layers);

// models/blobs/sha256-<hex> for a digest sha256:<hex>.
std::string ollama_blob_path(const std::string& models_dir, const std::string& digest);

}  // namespace kestrune::testing
