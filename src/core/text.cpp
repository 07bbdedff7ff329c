#include "core/text.hpp"

namespace kestrune::text {

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

std::string with_thousands_separator(std::int64_t value) {
    const std::string digits = std::to_string(value);
    const std::size_t first = value < 0 ? 1 : 0;
    std::string text = digits.substr(0, first);
    for (std::size_t at = first; at < digits.size(); ++at) {
        if (at > first && (digits.size() - at) % 3 == 0) {
            text.push_back(',');
        }
        text.push_back(digits[at]);
    }
    return text;
}

}  // namespace kestrune::text
