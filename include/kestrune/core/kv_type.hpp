// A KV cache element type as a caller names it.
#pragma once

#include <string>

#include "kestrune/core/export.hpp"

namespace kestrune {

// The name it means and the numeric identifier the caller expects the inference library to
// use for it (ggml's type enumeration).
struct KESTRUNE_API KvType {
    std::string name;
    int id = 1;

    bool operator==(const KvType&) const = default;
};

}  // namespace kestrune
