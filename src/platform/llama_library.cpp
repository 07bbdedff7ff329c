#include "platform/llama_library.hpp"

#include <ggml-backend.h>
#include <llama.h>

#include <cstdio>
#include <mutex>

namespace kestrune::platform::llama {

namespace {

constexpr std::int64_t kBytesPerMb = 1048576;

// The library's log goes through one process-wide callback; whether a message is shown
// depends on the object working on this thread, so a quiet Llama never silences a verbose one.
thread_local int quiet_depth = 0;

void log_to_stderr(ggml_log_level, const char* text, void*) {
    if (quiet_depth == 0) {
        std::fputs(text, stderr);
    }
}

}  // namespace

void initialise_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(log_to_stderr, nullptr);
        llama_backend_init();
    });
}

QuietScope::QuietScope(bool quiet) : quiet_(quiet) {
    quiet_depth += quiet_ ? 1 : 0;
}

QuietScope::~QuietScope() {
    quiet_depth -= quiet_ ? 1 : 0;
}

std::string version() {
    return llama_version();
}

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

}  // namespace kestrune::platform::llama
