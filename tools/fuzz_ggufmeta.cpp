// libFuzzer target for the GGUF reader: any bytes must either read or fail with
// InvalidValueError — no crash, no hang, no other exception, no allocation beyond the input.
//
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DKESTRUNE_BUILD_FUZZ=ON \
//       -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF
//   cmake --build build/fuzz --target fuzz_ggufmeta
//   build/fuzz/tools/fuzz_ggufmeta -malloc_limit_mb=64 CORPUS_DIR
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "kestrune/core/errors.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/engine/model_info.hpp"

namespace {

// An in-memory file rewritten for every input; the reader opens it by its /proc path, so the
// whole public path from opening to closing is exercised.
class MemoryFile {
  public:
    MemoryFile() : fd_(::memfd_create("fuzz.gguf", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::runtime_error("memfd_create failed");
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void replace(const std::uint8_t* data, std::size_t size) const {
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
            throw std::runtime_error("cannot write the input");
        }
    }
    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

// Where print_model_info's lines go instead of the terminal.
std::ostringstream printed;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::cout.rdbuf(printed.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile file;
    file.replace(data, size);
    namespace gm = kestrune::ggufmeta;
    try {
        const gm::GgufMetadata meta = gm::read_gguf_metadata(file.path());
        // Two header entries plus at most one per 13 bytes of entries.
        if (meta.size() > 2 + size / 13) {
            __builtin_trap();
        }
        gm::print_model_info(gm::gguf_to_model_spec(file.path()), &meta);
        printed.str("");
    } catch (const kestrune::InvalidValueError&) {
        // The one expected failure for malformed input.
    }
    return 0;
}
