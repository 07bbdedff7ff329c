// What `kestrune meta` does with a header of many keys: read the metadata and write it as one
// JSON object. The map's own conversion appends each key; beside it, the key-by-key insertion
// the program used before (ordered_json searches its keys on every insertion, so the cost
// grows with the square of the count). Files of 12,500 to 100,000 keys of mixed types.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <variant>

#include "kestrune/engine/ggufmeta.hpp"

namespace {

namespace fs = std::filesystem;
namespace gm = kestrune::ggufmeta;
using kestrune::Json;

template <typename T>
void put(std::string& bytes, T value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);  // little-endian machines only, as the bench runs
    bytes.append(raw, sizeof value);
}

void put_text(std::string& bytes, const std::string& text) {
    put<std::uint64_t>(bytes, text.size());
    bytes += text;
}

void put_value(std::string& bytes, int i) {
    switch (i % 5) {
        case 0:
            put(bytes, gm::GGUF_TYPE_UINT32);
            put<std::uint32_t>(bytes, static_cast<std::uint32_t>(i));
            return;
        case 1:
            put(bytes, gm::GGUF_TYPE_STRING);
            put_text(bytes, "value " + std::to_string(i));
            return;
        case 2:
            put(bytes, gm::GGUF_TYPE_FLOAT32);
            put<float>(bytes, static_cast<float>(i) / 7);
            return;
        case 3:
            put(bytes, gm::GGUF_TYPE_BOOL);
            put<std::uint8_t>(bytes, static_cast<std::uint8_t>(i & 1));
            return;
        default:
            put(bytes, gm::GGUF_TYPE_INT64);
            put<std::int64_t>(bytes, -i);
    }
}

// A GGUF header of `count` keys, cycling through u32, text, f32, bool and i64 values.
std::string many_keys_header(int count) {
    std::string bytes = "GGUF";
    put<std::uint32_t>(bytes, 3);
    put<std::uint64_t>(bytes, 0);
    put<std::uint64_t>(bytes, static_cast<std::uint64_t>(count));
    for (int i = 0; i < count; ++i) {
        put_text(bytes, "key." + std::to_string(i));
        put_value(bytes, i);
    }
    return bytes;
}

// Header files by key count, written on first use into a temporary folder removed with them.
class HeaderFiles {
  public:
    HeaderFiles()
        : dir_(fs::temp_directory_path() / ("kestrune-meta-bench-" + std::to_string(::getpid()))) {
        fs::create_directories(dir_);
    }
    ~HeaderFiles() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    HeaderFiles(const HeaderFiles&) = delete;
    HeaderFiles& operator=(const HeaderFiles&) = delete;

    const std::string& of(int count) {
        std::string& path = paths_[count];
        if (path.empty()) {
            path = (dir_ / ("keys-" + std::to_string(count) + ".gguf")).string();
            std::ofstream(path, std::ios::binary) << many_keys_header(count);
        }
        return path;
    }

  private:
    fs::path dir_;
    std::map<int, std::string> paths_;
};

const std::string& header_file(int count) {
    static HeaderFiles files;
    return files.of(count);
}

void BM_MetaJson(benchmark::State& state) {
    const std::string& path = header_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const std::string text = Json(gm::read_gguf_metadata(path)).dump(2);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetComplexityN(state.range(0));
}

// The program's conversion before the map had its own: one object[key] per entry.
void BM_MetaJsonKeyByKey(benchmark::State& state) {
    const std::string& path = header_file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Json object = Json::object();
        for (const auto& [key, value] : gm::read_gguf_metadata(path)) {
            std::visit([&, &name = key](const auto& held) { object[name] = held; }, value);
        }
        const std::string text = object.dump(2);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(BM_MetaJson)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
// One pass each: at 100,000 keys the old way takes tens of seconds.
BENCHMARK(BM_MetaJsonKeyByKey)
    ->Arg(12500)
    ->Arg(25000)
    ->Arg(50000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
