// Small text helpers shared across layers: trimming white space and trailing slashes, number
// formatting for the model printout and the engine's loading lines, and control characters
// made harmless for a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::text {

// `text` without ASCII white space (" \t\r\n\v\f") at either end.
std::string_view trim_whitespace(std::string_view text);

// A server address without the slashes at its end, so paths can be appended with "/".
std::string strip_trailing_slashes(std::string_view address);

// 131072 -> "131,072"; 512 -> "512"; negative numbers keep their sign in front.
std::string with_thousands_separator(std::int64_t value);

// `text` with every control character written out, so that text from a file cannot move the
// cursor, recolour or retitle the terminal it is printed on: C0 controls and DEL as "\x1b",
// C1 controls (U+0080 to U+009F, which some terminals obey too) as "\u009b". The rest of
// `text` comes back unchanged.
std::string escape_controls(std::string_view text);

}  // namespace kestrune::text
