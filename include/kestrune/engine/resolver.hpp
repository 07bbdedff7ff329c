// Universal Model Resolver — load models from ANY source.
//
// Turns a model reference as the user typed it (a path, hf://user/repo, ollama://llama3:8b,
// a bare catalogue name, a download address) into the path of a local GGUF file, downloading
// it when needed. Progress lines go to standard output; failures carry the user's message.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/core/export.hpp"
#include "kestrune/engine/stores.hpp"

namespace kestrune::resolver {

// Resolves `model_ref` to the path of a model file; downloads land in `output_dir`.
KESTRUNE_API std::string resolve_model(const std::string& model_ref,
                                       const std::string& output_dir = ".");

// One entry of the scheme table: the text before "://" and the handler it selects.
// `reference` is the whole reference, `rest` the text after the first "://".
struct KESTRUNE_API Scheme {
    std::string_view name;
    std::string (*handle)(const std::string& reference, const std::string& rest,
                          const std::string& output_dir);
};

extern KESTRUNE_API const std::array<Scheme, 9> SCHEMES;

// Download from HuggingFace. Format: user/repo/file.gguf or user/repo
KESTRUNE_API std::string _resolve_huggingface(const std::string& path,
                                              const std::string& output_dir);

// Download model from direct URL.
KESTRUNE_API std::string _resolve_url(const std::string& url, const std::string& output_dir);

// Search for a model in common locations.
// `system` defaults to this platform's system name.
KESTRUNE_API std::optional<std::string> _search_local(const std::string& name);
KESTRUNE_API std::optional<std::string> _search_local(const std::string& name,
                                                      const std::string& system);

}  // namespace kestrune::resolver
