#include "kestrune/engine/hardware.hpp"

#include "platform/llama_library.hpp"
#include "platform/system.hpp"

namespace kestrune::engine {

HardwareProfile detect_hardware() {
    return HardwareProfile{
        .cpu_cores = platform::system::cpu_count(),
        .total_vram_mb = platform::llama::gpu_memory_mb(),
        .ram_mb = platform::system::main_memory_mb(),
    };
}

}  // namespace kestrune::engine
