// Thin wrapper around RegistryStore, plus the choice of a quantisation for a model from its
// size and the machine's memory.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"
#include "kestrune/engine/hardware.hpp"

namespace kestrune::engine::downloader {

// Recommend quantization based on available hardware: the size words in the name ("70b",
// "27b", "14b", ...) against the memory of `hardware`, this machine unless told otherwise.
KESTRUNE_API std::string recommend_quant(
    const std::string& model_name,
    const engine::HardwareProfile& hardware = engine::detect_hardware());

// "auto" becomes recommend_quant(model_name) on this machine; the registry pulls named
// quantisations only.

KESTRUNE_API std::optional<std::string> pull_model(const std::string& model_name,
                                                   const std::string& quant = "auto");
KESTRUNE_API std::optional<std::string> resolve_local_model(const std::string& name);
KESTRUNE_API std::vector<Json> list_local_models();
// Search via registry server, fallback to HF.
KESTRUNE_API std::vector<Json> search_models(const std::string& query);
KESTRUNE_API std::optional<std::string> download_model(const std::string& model_name,
                                                       const std::string& quant = "auto",
                                                       const std::string& output_dir = ".");

}  // namespace kestrune::engine::downloader

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace downloader = engine::downloader;
}  // namespace kestrune
