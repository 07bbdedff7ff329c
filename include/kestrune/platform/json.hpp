// The one JSON library (key order kept) and the ASCII form request bodies are sent in.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kestrune {

using Json = nlohmann::ordered_json;

// Compact JSON text with every non-ASCII character written as a \u escape (a character
// beyond the Basic Multilingual Plane as a surrogate pair). Invalid UTF-8 becomes U+FFFD.
std::string dump_ascii(const Json& value);

}  // namespace kestrune
