// The model registry: a built-in catalogue of well-known GGUF models (name → Hugging Face
// repository), and a local store under ~/.cache/kestrune/models with an index of what was
// pulled (index.json). The file for a quantisation is chosen at pull time from the repository
// listing: the GGUF file whose name carries the quantisation's tag, case-insensitively.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::registry {

class KESTRUNE_API RegistryStore {
  public:
    RegistryStore();
    explicit RegistryStore(std::string store_dir);

    // Where pulled models live: ~/.cache/kestrune/models unless the store was given another.
    const std::string& store_dir() const { return store_dir_; }

    // Downloads the catalogue model `name` at the quantisation `quant` (a tag such as "Q4_K_M";
    // choosing one for the machine is the downloader's job) into the store, records it, and
    // returns the file's path. An unknown name, or a quantisation the repository does not
    // offer, is a NotFoundError.
    std::optional<std::string> pull(const std::string& name, const std::string& quant);
    // The stored file for a catalogue name or a stored file name; absent otherwise.
    std::optional<std::string> resolve(const std::string& name) const;
    // Deletes the stored files of a catalogue name or a stored file name and drops them from
    // the index; returns the paths deleted (none when nothing matched).
    std::vector<std::string> remove(const std::string& name);
    // One record per stored model: name, path, size_mb, quant, repo.
    std::vector<Json> list_local() const;
    // Every catalogue entry: name, repo, source "catalog".
    static std::vector<Json> catalog();
    // Catalogue entries matching the query, plus the hub's GGUF model search when it answers
    // (when it does not, a line on the library's output says so).
    static std::vector<Json> search(const std::string& query);

  private:
    std::string index_path() const;
    // The index's records in pull order; a missing or damaged index reads as empty.
    Json read_index() const;
    void write_index(const Json& models) const;

    std::string store_dir_;
};

}  // namespace kestrune::registry
