// The one JSON library (key order kept) and the ASCII form request bodies are sent in.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "kestrune/core/json_value.hpp"
#include "kestrune/core/messages.hpp"

namespace kestrune {

// Compact JSON text with every non-ASCII character written as a \u escape (a character
// beyond the Basic Multilingual Plane as a surrogate pair). Invalid UTF-8 becomes U+FFFD.
std::string dump_ascii(const Json& value);

// Parses JSON text a server sent, keys in the order they came. Each key is appended instead of
// searched for in the object (a hash set spots repeats: the last value wins), so an answer with
// very many keys parses in linear time. A syntax error throws Json::parse_error, and arrays and
// objects nested deeper than `max_depth` an InvalidValueError; either gives a discarded value
// when exceptions are not allowed.
inline constexpr std::size_t kMaxJsonDepth = 512;
Json parse_answer(std::string_view text, bool allow_exceptions = true,
                  std::size_t max_depth = kMaxJsonDepth);

// The messages as the JSON list servers take: one object per message, keys in their order.
Json messages_to_json(const Messages& messages);

}  // namespace kestrune
