// The machine's resources as the planner and the downloader see them, read from the real
// machine: logical processors, main memory, and GPU memory as llama.cpp enumerates it.
#pragma once

#include <cstdint>

#include "kestrune/core/export.hpp"

namespace kestrune::engine {

struct KESTRUNE_API HardwareProfile {
    int cpu_cores = 1;
    std::int64_t total_vram_mb = 0;
    std::int64_t ram_mb = 0;

    bool operator==(const HardwareProfile&) const = default;
};

KESTRUNE_API HardwareProfile detect_hardware();

}  // namespace kestrune::engine
