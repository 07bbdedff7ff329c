#include "kestrune/tools/base.hpp"

#include <cmath>
#include <limits>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::tools {

namespace {

// The value of `key`, or null when it is absent. Arguments that are not an object at all
// cannot be read.
const Json* find_argument(const Json& arguments, std::string_view key) {
    if (!arguments.is_object()) {
        throw InvalidValueError("tool arguments must be a JSON object");
    }
    auto found = arguments.find(key);
    return found != arguments.end() ? &*found : nullptr;
}

}  // namespace

std::string text_argument(const Json& arguments, std::string_view key, std::string fallback) {
    const Json* value = find_argument(arguments, key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_string()) {
        throw InvalidValueError(std::string(key) + " must be text");
    }
    return value->get<std::string>();
}

long long integer_argument(const Json& arguments, std::string_view key, long long fallback) {
    const Json* value = find_argument(arguments, key);
    if (value == nullptr) {
        return fallback;
    }
    constexpr auto largest = std::numeric_limits<long long>::max();
    if (value->is_number_unsigned()) {
        if (value->get<unsigned long long>() <= static_cast<unsigned long long>(largest)) {
            return value->get<long long>();
        }
    } else if (value->is_number_integer()) {
        return value->get<long long>();
    } else if (value->is_number_float()) {
        const double number = std::trunc(value->get<double>());
        // -2^63 and 2^63 are exact as doubles; everything in [-2^63, 2^63) fits.
        constexpr double bound = 9223372036854775808.0;
        if (std::isfinite(number) && number >= -bound && number < bound) {
            return static_cast<long long>(number);
        }
    }
    throw InvalidValueError(std::string(key) + " must be an integer");
}

void to_json(Json& json, const ToolResult& result) {
    json = {{"success", result.success},
            {"content", result.content},
            {"error", result.error ? Json(*result.error) : Json()},
            {"data", result.data ? **result.data : Json()}};
}

}  // namespace kestrune::tools
