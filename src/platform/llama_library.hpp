// The process-wide side of llama.cpp: its one-time initialisation, where its log goes, its
// version, and the devices it can compute on. Everything that holds a model is in llama.hpp.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::platform::llama {

// Initialises the library and routes its log through QuietScope, once per process.
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

// The library's version text (its build number and commit).
std::string version();

// The summed memory of every discrete GPU the library can use, in MB; integrated GPUs share
// main memory and are not counted twice.
std::int64_t gpu_memory_mb();

}  // namespace kestrune::platform::llama
