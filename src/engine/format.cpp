#include "kestrune/engine/format.hpp"

namespace kestrune::engine {

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

}  // namespace kestrune::engine
