// Small text helpers shared across layers: trimming white space and trailing slashes.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::platform::text {

// `text` without ASCII white space (" \t\r\n\v\f") at either end.
std::string_view trim_whitespace(std::string_view text);

// A server address without the slashes at its end, so paths can be appended with "/".
std::string strip_trailing_slashes(std::string_view address);

}  // namespace kestrune::platform::text
