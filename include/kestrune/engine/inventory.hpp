// What is on this machine: every model file Kestrune can open without a download, from its own
// cache (pulled, downloaded from an address or the hub, or put there by hand) and from the
// stores of other runtimes (Ollama, LM Studio, the Hugging Face cache, llama.cpp's cache and
// model folders), each marked with its store. One listing for `kestrune list`, `kestrune rm`
// and a server's model list.
#pragma once

#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::engine::inventory {

// The store names of LocalModel::store.
inline constexpr const char* KESTRUNE_STORE = "kestrune";
inline constexpr const char* OLLAMA_STORE = "ollama";
inline constexpr const char* LMSTUDIO_STORE = "lmstudio";
inline constexpr const char* HUGGINGFACE_STORE = "huggingface";
inline constexpr const char* LLAMACPP_STORE = "llamacpp";

struct KESTRUNE_API LocalModel {
    // What to call it: the catalogue name of a pulled model, "name:tag" in Ollama's store,
    // "owner/repo/file.gguf" in the Hugging Face cache, the file's name otherwise.
    std::string name;
    std::string store;  // one of the store names above
    std::string path;   // the GGUF file (an Ollama blob has no extension)
    double size_mb = 0.0;
    std::string quant;  // a pulled model's quantisation; "" when not recorded
    bool operator==(const LocalModel&) const = default;
};

// name, store, path, size_mb, quant.
KESTRUNE_API void to_json(Json& json, const LocalModel& model);

// Kestrune's cache first, then Ollama, LM Studio, the Hugging Face cache and llama.cpp, each
// file once. A store that is missing lists nothing; an unreadable or damaged entry (a broken
// Ollama manifest) is left out rather than failing the listing.
KESTRUNE_API std::vector<LocalModel> list_models();

// Whether `model` answers to `name`: its name, its path, or its file's name with or without
// ".gguf".
KESTRUNE_API bool answers_to(const LocalModel& model, const std::string& name);

// Deletes the models of Kestrune's own cache answering to `name`: the file, the record of the
// address it came from and its entry in the pull index. Returns the paths deleted (none when
// nothing of the cache answers). Other stores are never touched.
KESTRUNE_API std::vector<std::string> remove_from_cache(const std::string& name);

}  // namespace kestrune::engine::inventory

// The module by its own name.
namespace kestrune {
namespace inventory = engine::inventory;
}  // namespace kestrune
