#include "kestrune/platform/text.hpp"

namespace kestrune::platform::text {

std::string_view trim_whitespace(std::string_view text) {
    constexpr std::string_view whitespace = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(whitespace);
    return text.substr(first, last - first + 1);
}

std::string strip_trailing_slashes(std::string_view address) {
    while (address.ends_with('/')) {
        address.remove_suffix(1);
    }
    return std::string(address);
}

}  // namespace kestrune::platform::text
