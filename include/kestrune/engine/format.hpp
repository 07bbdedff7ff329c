// Number formatting shared by the model printout and the engine's loading lines.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::engine {

// 131072 -> "131,072"; 512 -> "512"; negative numbers keep their sign in front.
std::string with_thousands_separator(std::int64_t value);

}  // namespace kestrune::engine
