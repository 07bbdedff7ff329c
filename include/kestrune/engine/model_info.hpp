// What a GGUF file says about its model: the ModelSpec the planner works with, derived from the
// metadata ggufmeta reads and the file's size, and the description printed for the user.
#pragma once

#include <string>

#include "kestrune/core/export.hpp"
#include "kestrune/engine/planner.hpp"

namespace kestrune::engine::ggufmeta {

class GgufMetadata;

// Extract ModelSpec from GGUF file metadata.
KESTRUNE_API engine::ModelSpec gguf_to_model_spec(const std::string& path);

// Pretty-print model info.
KESTRUNE_API void print_model_info(const engine::ModelSpec& spec,
                                   const GgufMetadata* meta = nullptr);

}  // namespace kestrune::engine::ggufmeta

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace ggufmeta = engine::ggufmeta;
}  // namespace kestrune
