#include "kestrune/engine/hardware.hpp"

#include <nlohmann/json.hpp>

#include "platform/llama/library.hpp"
#include "platform/os/system.hpp"

namespace kestrune::engine {

namespace {

// The summed memory of every discrete GPU the library can use; integrated GPUs share main
// memory and are not counted twice.
struct GpuMemory {
    std::int64_t total_mb = 0;
    std::int64_t free_mb = 0;
};

GpuMemory gpu_memory() {
    GpuMemory memory;
    for (const auto& device : platform::llama::compute_devices()) {
        if (device.gpu) {
            memory.total_mb += device.total_mb;
            memory.free_mb += device.free_mb;
        }
    }
    return memory;
}

std::string describe(const platform::llama::ComputeDevice& device) {
    std::string line =
        device.backend == device.name ? device.name : device.backend + " " + device.name;
    line += ": " + device.description + " (" + device.library;
    if (device.gpu) {
        line += ", " + std::to_string(device.free_mb) + " of " + std::to_string(device.total_mb) +
                " MB free";
    }
    return line + ")";
}

}  // namespace

HardwareProfile detect_hardware() {
    const GpuMemory gpu = gpu_memory();
    return HardwareProfile{
        .cpu_cores = platform::system::cpu_count(),
        .total_vram_mb = gpu.total_mb,
        .ram_mb = platform::system::main_memory_mb(),
        .free_vram_mb = gpu.free_mb,
    };
}

std::vector<std::string> describe_compute_devices() {
    std::vector<std::string> lines;
    for (const auto& device : platform::llama::compute_devices()) {
        lines.push_back(describe(device));
    }
    return lines;
}

std::int64_t local_free_mb() {
    std::int64_t free_mb = 0;
    for (const auto& device : platform::llama::compute_devices()) {
        free_mb += device.free_mb;
    }
    return free_mb;
}

void to_json(Json& json, const HardwareProfile& hardware) {
    json = {{"cpu_cores", hardware.cpu_cores},
            {"total_vram_mb", hardware.total_vram_mb},
            {"ram_mb", hardware.ram_mb},
            {"free_vram_mb", hardware.free_vram_mb ? Json(*hardware.free_vram_mb) : Json()}};
}

}  // namespace kestrune::engine
