// The GGUF reader's value-level steps. Not exported: its tests reach them here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kestrune/engine/ggufmeta.hpp"

namespace kestrune::engine::ggufmeta {

// A length-prefixed string; bytes that are not valid UTF-8 become U+FFFD.
std::string _read_string(GgufStream& stream);

// Read a GGUF value. Absent for the types that are skipped.
std::optional<GgufValue> _read_value(GgufStream& stream, std::uint32_t vtype);

// Skip a GGUF value without reading it.
void _skip_value(GgufStream& stream, std::uint32_t vtype);

}  // namespace kestrune::engine::ggufmeta
