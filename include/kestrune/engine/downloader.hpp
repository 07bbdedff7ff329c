// Thin wrapper around RegistryStore, plus the choice of a quantisation for a model from its
// size and the machine's memory.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"
#include "kestrune/engine/hardware.hpp"

namespace kestrune::downloader {

// Recommend quantization based on available hardware.
KESTRUNE_API std::string recommend_quant(const std::string& model_name);

KESTRUNE_API std::optional<std::string> pull_model(const std::string& model_name,
                                                   const std::string& quant = "auto");
KESTRUNE_API std::optional<std::string> resolve_local_model(const std::string& name);
KESTRUNE_API std::vector<Json> list_local_models();
// Search via registry server, fallback to HF.
KESTRUNE_API std::vector<Json> search_models(const std::string& query);
// Check if model exists locally: {"name": name, "path": path}, or absent.
KESTRUNE_API std::optional<Json> _find_in_catalog(const std::string& name);
KESTRUNE_API std::optional<std::string> download_model(const std::string& model_name,
                                                       const std::string& quant = "auto",
                                                       const std::string& output_dir = ".");

// The hardware probe recommend_quant asks; tests put a fixed profile in its place.
// Returns the previous probe.
using HardwareProbe = std::function<engine::HardwareProfile()>;
KESTRUNE_API HardwareProbe set_hardware_probe(HardwareProbe probe);

}  // namespace kestrune::downloader
