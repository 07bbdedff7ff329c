#include "platform/llama/library.hpp"

#include <dlfcn.h>
#include <ggml-backend.h>
#include <llama.h>

#include <cstdio>
#include <filesystem>
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

// The file that holds `address` (code or data of a loaded library); empty when none does.
std::filesystem::path library_holding(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

// A build whose backends are loadable modules (the prebuilt release: one CPU library per x86-64
// level, GPU backends beside them) registers none until asked. They sit beside libggml, which
// is wherever the dynamic linker found it: the setup cache, or the installed package. Loading
// is quiet; compute_devices() tells what was loaded to whoever asks.
void load_backends() {
    if (ggml_backend_reg_count() > 0) {
        return;
    }
    const QuietScope quiet(true);
    const auto dir = backend_directory().string();
    ggml_backend_load_all_from_path(dir.empty() ? nullptr : dir.c_str());
}

ComputeDevice describe_device(ggml_backend_dev_t device) {
    std::size_t free_bytes = 0;
    std::size_t total_bytes = 0;
    ggml_backend_dev_memory(device, &free_bytes, &total_bytes);
    ggml_backend_reg_t registry = ggml_backend_dev_backend_reg(device);
    return ComputeDevice{
        .backend = ggml_backend_reg_name(registry),
        .name = ggml_backend_dev_name(device),
        .description = ggml_backend_dev_description(device),
        .library = library_holding(registry).filename().string(),
        .gpu = ggml_backend_dev_type(device) == GGML_BACKEND_DEVICE_TYPE_GPU,
        .free_mb = static_cast<std::int64_t>(free_bytes) / kBytesPerMb,
        .total_mb = static_cast<std::int64_t>(total_bytes) / kBytesPerMb,
    };
}

}  // namespace

std::filesystem::path backend_directory() {
    return library_holding(reinterpret_cast<const void*>(&ggml_backend_load_all_from_path))
        .parent_path();
}

void initialise_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(log_to_stderr, nullptr);
        load_backends();
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

std::vector<ComputeDevice> compute_devices() {
    initialise_library();
    std::vector<ComputeDevice> devices;
    for (std::size_t index = 0; index < ggml_backend_dev_count(); ++index) {
        devices.push_back(describe_device(ggml_backend_dev_get(index)));
    }
    return devices;
}

}  // namespace kestrune::platform::llama
