// Universal Model Resolver — load models from ANY source.
//
// Turns a model reference as the user typed it (a path, hf://user/repo, ollama://llama3:8b,
// a bare catalogue name, a download address) into the path of a local GGUF file, downloading
// it when needed. Progress lines go to standard output; failures carry the user's message.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "kestrune/core/export.hpp"

namespace kestrune::engine::resolver {

// Resolves `model_ref` to the path of a model file; downloads land in `output_dir`.
KESTRUNE_API std::string resolve_model(const std::string& model_ref,
                                       const std::string& output_dir = ".");

// The file a download address is kept in below `output_dir`: its file name, or the first of
// "name-2.ext", "name-3.ext", … when a download from another address holds that name. A
// record beside each downloaded file names its address; a file of the plain name without one
// (kept before the records were) counts as the download of any address that has no file of
// its own.
KESTRUNE_API std::string url_download_path(const std::string& url, const std::string& output_dir);

// One entry of the scheme table: the text before "://" and the handler it selects.
// `reference` is the whole reference, `rest` the text after the first "://".
struct KESTRUNE_API Scheme {
    std::string_view name;
    std::string (*handle)(const std::string& reference, const std::string& rest,
                          const std::string& output_dir);
};

extern KESTRUNE_API const std::array<Scheme, 9> SCHEMES;

}  // namespace kestrune::engine::resolver

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace resolver = engine::resolver;
}  // namespace kestrune
