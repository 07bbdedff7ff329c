// The one JSON library (key order kept) and the ASCII form request bodies are sent in.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "kestrune/core/json_value.hpp"
#include "kestrune/core/messages.hpp"

namespace kestrune {

// Compact JSON text with every non-ASCII character written as a \u escape (a character
// beyond the Basic Multilingual Plane as a surrogate pair). Invalid UTF-8 becomes U+FFFD.
std::string dump_ascii(const Json& value);

// The messages as the JSON list servers take: one object per message, keys in their order.
Json messages_to_json(const Messages& messages);

}  // namespace kestrune
