// The machine's resources as the planner and the downloader see them, read from the real
// machine: logical processors, main memory, and GPU memory as llama.cpp enumerates it.
#pragma once

#include <cstdint>

namespace kestrune::engine {

struct HardwareProfile {
    int cpu_cores = 1;
    std::int64_t total_vram_mb = 0;
    std::int64_t ram_mb = 0;

    bool operator==(const HardwareProfile&) const = default;
};

HardwareProfile detect_hardware();

}  // namespace kestrune::engine
