#include "gguf_writing.hpp"

#include <llama.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace kestrune::tools {

namespace {

using GgmlPtr = std::unique_ptr<ggml_context, decltype(&ggml_free)>;
using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;

}  // namespace

std::vector<std::uint8_t> filled_f32(std::int64_t count, float value) {
    return as_bytes(std::vector<float>(static_cast<std::size_t>(count), value));
}

std::vector<std::uint8_t> random_f16(std::int64_t count, std::uint32_t seed, float stdev) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0.0F, stdev);
    std::vector<ggml_fp16_t> values(static_cast<std::size_t>(count));
    for (auto& value : values) {
        value = ggml_fp32_to_fp16(normal(generator));
    }
    return as_bytes(values);
}

std::int64_t element_count(const std::vector<std::int64_t>& shape) {
    std::int64_t count = 1;
    for (auto extent : shape) {
        count *= extent;
    }
    return count;
}

void write_gguf(gguf_context* gguf, const std::vector<TensorPlan>& tensors,
                const std::string& path) {
    GgmlPtr ggml(ggml_init({ggml_tensor_overhead() * (tensors.size() + 1), nullptr, true}),
                 &ggml_free);
    for (const auto& plan : tensors) {
        ggml_tensor* tensor = nullptr;
        if (plan.shape.size() == 1) {
            tensor = ggml_new_tensor_1d(ggml.get(), plan.type, plan.shape[0]);
        } else {
            tensor = ggml_new_tensor_2d(ggml.get(), plan.type, plan.shape[0], plan.shape[1]);
        }
        ggml_set_name(tensor, plan.name.c_str());
        gguf_add_tensor(gguf, tensor);
    }
    FilePtr file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file || !gguf_write_to_file_ptr(gguf, file.get(), true)) {
        throw std::runtime_error("cannot write " + path);
    }
    const std::size_t alignment = gguf_get_alignment(gguf);
    for (std::size_t i = 0; i < tensors.size(); ++i) {
        auto bytes = tensors[i].bytes();
        if (bytes.size() != gguf_get_tensor_size(gguf, static_cast<std::int64_t>(i))) {
            throw std::runtime_error("wrong data size for " + tensors[i].name);
        }
        bytes.resize(GGML_PAD(bytes.size(), alignment), 0);
        if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
            throw std::runtime_error("cannot write " + path);
        }
    }
}

void quantise_q8_0(const std::string& unquantised, const std::string& path) {
    llama_model_quantize_params params = llama_model_quantize_default_params();
    params.ftype = LLAMA_FTYPE_MOSTLY_Q8_0;
    params.nthread = 2;
    const std::uint32_t failed = llama_model_quantize(unquantised.c_str(), path.c_str(), &params);
    std::filesystem::remove(unquantised);
    if (failed != 0) {
        throw std::runtime_error("quantising " + path + " failed");
    }
}

}  // namespace kestrune::tools
