// The downloader's catalogue look-up. Not exported: the resolver and the tests reach it here.
#pragma once

#include <optional>
#include <string>

#include "kestrune/core/json_value.hpp"

namespace kestrune::engine::downloader {

// Check if model exists locally: {"name": name, "path": path}, or absent.
std::optional<Json> _find_in_catalog(const std::string& name);

}  // namespace kestrune::engine::downloader
