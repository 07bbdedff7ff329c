// The "*name*.gguf" search of the resolver against find(1) on the same generated tree of
// 100,000 files. Reports our time, find's time and their ratio (ours / find).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/os/files.hpp"
#include "platform/os/process.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFanOut = 10;           // directories per level, three levels deep
constexpr int kFilesPerLeaf = 100;    // 1000 leaves x 100 files = 100,000 files
constexpr int kEveryNthMatches = 50;  // one file in 50 is named *x*.gguf

// 10 x 10 x 10 leaf directories, each with 100 files: mostly other files, some GGUF files
// without the searched name, and one in fifty that matches.
class GeneratedTree {
  public:
    GeneratedTree() {
        std::string pattern = (fs::temp_directory_path() / "kestrune-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create the benchmark tree");
        }
        root_ = pattern;
        int serial = 0;
        for (int a = 0; a < kFanOut; ++a) {
            for (int b = 0; b < kFanOut; ++b) {
                for (int c = 0; c < kFanOut; ++c) {
                    const fs::path leaf = fs::path(root_) / ("org-" + std::to_string(a)) /
                                          ("repo-" + std::to_string(b)) /
                                          ("snapshot-" + std::to_string(c));
                    fs::create_directories(leaf);
                    for (int f = 0; f < kFilesPerLeaf; ++f, ++serial) {
                        std::ofstream{leaf / file_name(serial)};
                    }
                }
            }
        }
    }
    GeneratedTree(const GeneratedTree&) = delete;
    GeneratedTree& operator=(const GeneratedTree&) = delete;
    ~GeneratedTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    const std::string& root() const { return root_; }

  private:
    static std::string file_name(int serial) {
        const std::string number = std::to_string(serial);
        if (serial % kEveryNthMatches == 0) {
            return "model-x-" + number + ".gguf";
        }
        return serial % 7 == 0 ? "model-" + number + ".gguf" : "shard-" + number + ".bin";
    }

    std::string root_;
};

const GeneratedTree& tree() {
    static const GeneratedTree generated;
    return generated;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t find_command_matches(const std::string& root) {
    const auto result = kestrune::platform::process::run({"find", root, "-name", "*x*.gguf"},
                                                         std::chrono::minutes(2));
    return static_cast<std::size_t>(std::ranges::count(result.out, '\n'));
}

// Each iteration runs both searches; the reported time is ours, the counters compare.
void BM_PatternSearchAgainstFind(benchmark::State& state) {
    const std::string& root = tree().root();
    double ours_total = 0;
    double find_total = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        const auto ours = kestrune::platform::files::find_gguf(root, "x");
        const double ours_seconds = seconds_since(start);

        start = Clock::now();
        const std::size_t theirs = find_command_matches(root);
        find_total += seconds_since(start);

        ours_total += ours_seconds;
        state.SetIterationTime(ours_seconds);
        if (ours.size() != theirs) {
            state.SkipWithError("the two searches found different files");
            return;
        }
        benchmark::DoNotOptimize(ours.data());
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = 1000 * ours_total / iterations;
    state.counters["find_ms"] = 1000 * find_total / iterations;
    state.counters["ratio"] = ours_total / find_total;
}
BENCHMARK(BM_PatternSearchAgainstFind)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
