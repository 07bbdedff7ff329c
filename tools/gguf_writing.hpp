// What the model generators share: tensors planned by shape and written one after another
// into a GGUF file, and the random or constant bytes they are made of.
#pragma once

#include <ggml.h>
#include <gguf.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::tools {

// A tensor to write: its shape (ggml order, ne0 first) and a function producing its bytes.
struct TensorPlan {
    std::string name;
    ggml_type type;
    std::vector<std::int64_t> shape;
    std::function<std::vector<std::uint8_t>()> bytes;
};

using GgufPtr = std::unique_ptr<gguf_context, decltype(&gguf_free)>;

template <typename T>
std::vector<std::uint8_t> as_bytes(const std::vector<T>& values) {
    std::vector<std::uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<std::uint8_t> filled_f32(std::int64_t count, float value);
// Normally distributed values around 0, the same for the same seed.
std::vector<std::uint8_t> random_f16(std::int64_t count, std::uint32_t seed, float stdev);
std::int64_t element_count(const std::vector<std::int64_t>& shape);

// Writes the metadata, then each tensor's bytes in turn, so the largest model never has to be
// held in memory at once.
void write_gguf(gguf_context* gguf, const std::vector<TensorPlan>& tensors,
                const std::string& path);

// Quantises the model at `unquantised` to Q8_0 into `path` and removes `unquantised`.
void quantise_q8_0(const std::string& unquantised, const std::string& path);

}  // namespace kestrune::tools
