#include "core/text.hpp"

#include <cstdio>

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

std::string escape_controls(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    char code[8];
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f) {
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            escaped += code;
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {  // C1, as UTF-8
            std::snprintf(code, sizeof code, "\\u%04x", next);
            escaped += code;
            ++at;
        } else {
            escaped.push_back(text[at]);
        }
    }
    return escaped;
}

}  // namespace kestrune::text
