// The machine's resources as the planner and the downloader see them, read from the real
// machine: logical processors, main memory, and GPU memory as llama.cpp enumerates it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::engine {

struct KESTRUNE_API HardwareProfile {
    int cpu_cores = 1;
    std::int64_t total_vram_mb = 0;
    std::int64_t ram_mb = 0;
    // What the GPUs have free now (other programs hold the rest); absent when not measured.
    std::optional<std::int64_t> free_vram_mb = std::nullopt;

    bool operator==(const HardwareProfile&) const = default;
};

// The record as JSON, keys named and ordered as the fields; free_vram_mb is null when it
// was not measured.
KESTRUNE_API void to_json(Json& json, const HardwareProfile& hardware);

KESTRUNE_API HardwareProfile detect_hardware();

// The devices llama.cpp computes on here, one line each: the ggml backend and device, the
// processor or GPU model, the library the backend was loaded from (the CPU variant picked for
// this processor, or the GPU backend) and, for a GPU, its free memory.
KESTRUNE_API std::vector<std::string> describe_compute_devices();

// The memory free for a model here, as llama.cpp's devices report it (main memory and the
// GPUs'): the same measure a worker reports, so that the two compare.
KESTRUNE_API std::int64_t local_free_mb();

}  // namespace kestrune::engine
