// Header-only GGUF files (no tensors) written with llama.cpp's own GGUF writer, for tests that
// need a model file whose metadata says something hostile.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestrune::testing {

using GgufEntry = std::pair<std::string, std::variant<std::uint32_t, std::int32_t, std::string>>;

// Writes the entries, in order, as the metadata of a GGUF file at `path`.
void write_gguf_header(const std::string& path, const std::vector<GgufEntry>& entries);

// The keys llama.cpp needs before it reads the layer count: a "llama" model with a context
// length and an embedding width, then `extra`.
std::vector<GgufEntry> llama_header(std::vector<GgufEntry> extra);

}  // namespace kestrune::testing
