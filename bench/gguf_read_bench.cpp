// Our GGUF metadata reader against llama.cpp's gguf_init_from_file (no_alloc) on the largest
// vocabulary file of the pinned release, and on a 10 GiB sparse file that starts with the same
// bytes: both readers should cost the same on either, since neither touches the tensor data.
#include <benchmark/benchmark.h>
#include <gguf.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "kestrune/engine/ggufmeta.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kSparseSize = std::uintmax_t{10} << 30;

fs::path largest_vocab_file() {
    fs::path largest;
    std::uintmax_t largest_size = 0;
    for (const auto& entry : fs::directory_iterator(KESTRUNE_LLAMA_SOURCE_DIR "/models")) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ggml-vocab-") && name.ends_with(".gguf") &&
            entry.file_size() > largest_size) {
            largest = entry.path();
            largest_size = entry.file_size();
        }
    }
    if (largest.empty()) {
        throw std::runtime_error("no vocabulary files in " KESTRUNE_LLAMA_SOURCE_DIR "/models");
    }
    return largest;
}

// A copy of `source` extended with a hole to `size` bytes, in a temporary directory that is
// removed with it.
class SparseCopy {
  public:
    SparseCopy(const fs::path& source, std::uintmax_t size) {
        std::string pattern = (fs::temp_directory_path() / "kestrune-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary directory");
        }
        dir_ = pattern;
        path_ = dir_ / "sparse.gguf";
        fs::copy_file(source, path_);
        fs::resize_file(path_, size);
    }
    ~SparseCopy() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    SparseCopy(const SparseCopy&) = delete;
    SparseCopy& operator=(const SparseCopy&) = delete;

    std::string path() const { return path_.string(); }

  private:
    fs::path dir_;
    fs::path path_;
};

void read_with_kestrune(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrune::ggufmeta::read_gguf_metadata(path));
    }
}

void read_with_llama_cpp(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        const std::unique_ptr<gguf_context, decltype(&gguf_free)> ctx(
            gguf_init_from_file(path.c_str(), {.no_alloc = true, .ctx = nullptr}), &gguf_free);
        if (ctx == nullptr) {
            state.SkipWithError("llama.cpp cannot read the file");
            return;
        }
        benchmark::DoNotOptimize(gguf_get_n_kv(ctx.get()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string vocab = largest_vocab_file().string();
    const SparseCopy sparse(vocab, kSparseSize);
    std::cout << "vocabulary file: " << vocab << " (" << fs::file_size(vocab) << " bytes)\n"
              << "sparse file: " << sparse.path() << " (" << fs::file_size(sparse.path())
              << " bytes)" << std::endl;

    const auto add = [](const char* name, void (*reader)(benchmark::State&, const std::string&),
                        const std::string& path) {
        benchmark::RegisterBenchmark(name, reader, path)->Unit(benchmark::kMillisecond);
    };
    add("kestrune/vocab", read_with_kestrune, vocab);
    add("llama.cpp/vocab", read_with_llama_cpp, vocab);
    add("kestrune/sparse_10GiB", read_with_kestrune, sparse.path());
    add("llama.cpp/sparse_10GiB", read_with_llama_cpp, sparse.path());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
