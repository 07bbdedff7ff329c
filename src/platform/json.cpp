#include "kestrune/platform/json.hpp"

namespace kestrune {

std::string dump_ascii(const Json& value) {
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace kestrune
