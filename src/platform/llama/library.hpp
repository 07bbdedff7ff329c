// The process-wide side of llama.cpp: its one-time initialisation (with the backends it loads),
// where its log goes, its version, and the devices it can compute on. Everything that holds a
// model is in llama.hpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrune::platform::llama {

// Loads the library's backends, initialises it and routes its log through QuietScope, once
// per process.
void initialise_library();

// While alive with quiet = true, the library's log is silent on this thread.
class QuietScope {
  public:
    explicit QuietScope(bool quiet);
    ~QuietScope();
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;

  private:
    bool quiet_;
};

// The folder of the ggml libraries in use, where their loadable backends sit.
std::filesystem::path backend_directory();

// The library's version text (its build number and commit).
std::string version();

// One device of one ggml backend, as the library's registry lists it once its backends are
// loaded (the prebuilt release loads the CPU variant that suits this processor and any GPU
// backend whose driver and runtime are present).
struct ComputeDevice {
    std::string backend;      // the ggml backend: "CPU", "CUDA", "Vulkan", ...
    std::string name;         // the device: "CPU", "CUDA0", ...
    std::string description;  // the processor or GPU model
    std::string library;      // the file the backend's code lives in, e.g. libggml-cpu-haswell.so
    bool gpu = false;         // a discrete GPU, with memory of its own
    std::int64_t free_mb = 0;
    std::int64_t total_mb = 0;
};

std::vector<ComputeDevice> compute_devices();

}  // namespace kestrune::platform::llama
