#include "kestrune/engine/hardware.hpp"

#include <ggml-backend.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.hpp"

namespace kestrune::engine {

namespace {

constexpr std::int64_t kBytesPerMb = 1048576;

// MemTotal of /proc/meminfo in MB; 0 where the file does not exist.
std::int64_t main_memory_mb() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (!line.starts_with("MemTotal:")) {
            continue;
        }
        std::istringstream fields(line.substr(9));
        std::int64_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes / 1024;
    }
    return 0;
}

// The summed memory of every discrete GPU the library can use; integrated GPUs share main
// memory and are not counted twice.
std::int64_t gpu_memory_mb() {
    // A library built with loadable backends registers none until asked to load them.
    if (ggml_backend_reg_count() == 0) {
        ggml_backend_load_all();
    }
    std::int64_t total_bytes = 0;
    for (std::size_t index = 0; index < ggml_backend_dev_count(); ++index) {
        ggml_backend_dev_t device = ggml_backend_dev_get(index);
        if (ggml_backend_dev_type(device) != GGML_BACKEND_DEVICE_TYPE_GPU) {
            continue;
        }
        std::size_t free_bytes = 0;
        std::size_t device_bytes = 0;
        ggml_backend_dev_memory(device, &free_bytes, &device_bytes);
        total_bytes += static_cast<std::int64_t>(device_bytes);
    }
    return total_bytes / kBytesPerMb;
}

}  // namespace

HardwareProfile detect_hardware() {
    return HardwareProfile{
        .cpu_cores = platform::files::cpu_count(),
        .total_vram_mb = gpu_memory_mb(),
        .ram_mb = main_memory_mb(),
    };
}

}  // namespace kestrune::engine
