// Writes a deeper copy of a llama GGUF model: every tensor, every metadata key and the same
// vocabulary, plus extra blocks of seeded random weights after the last one. The copy is a
// larger model whose greedy answers mostly, but not always, agree with the original's, so the
// original can draft for it in speculative decoding tests and both the accepted and the
// rejected proposals are exercised.
//
// Usage: make_deeper_model <in.gguf> <out.gguf> <extra blocks> <weight deviation>

#include <ggml.h>
#include <gguf.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using GgufPtr = std::unique_ptr<gguf_context, decltype(&gguf_free)>;
using GgmlPtr = std::unique_ptr<ggml_context, decltype(&ggml_free)>;

constexpr const char* kBlockCount = "llama.block_count";
constexpr std::uint32_t kSeed = 4321;

struct Source {
    GgufPtr gguf{nullptr, &gguf_free};
    GgmlPtr data{nullptr, &ggml_free};
};

Source read_model(const std::string& path) {
    ggml_context* data = nullptr;
    Source source;
    source.gguf.reset(gguf_init_from_file(path.c_str(), {.no_alloc = false, .ctx = &data}));
    source.data.reset(data);
    if (!source.gguf) {
        throw std::runtime_error("cannot read " + path);
    }
    return source;
}

std::uint32_t block_count(const gguf_context* gguf) {
    const std::int64_t key = gguf_find_key(gguf, kBlockCount);
    if (key < 0) {
        throw std::runtime_error("not a llama model: no llama.block_count");
    }
    return gguf_get_val_u32(gguf, key);
}

// The model's tensors, in file order (the data context also holds the file's whole tensor
// data as one more tensor, which these point into).
std::vector<ggml_tensor*> model_tensors(const Source& source) {
    std::vector<ggml_tensor*> tensors;
    for (std::int64_t i = 0; i < gguf_get_n_tensors(source.gguf.get()); ++i) {
        tensors.push_back(
            ggml_get_tensor(source.data.get(), gguf_get_tensor_name(source.gguf.get(), i)));
    }
    return tensors;
}

// Norm weights (vectors) become ones, matrices seeded normal values.
void fill(ggml_tensor* tensor, std::mt19937& generator, float deviation) {
    const auto count = static_cast<std::size_t>(ggml_nelements(tensor));
    std::vector<float> values(count, 1.0F);
    if (ggml_n_dims(tensor) > 1) {
        std::normal_distribution<float> normal(0.0F, deviation);
        std::generate(values.begin(), values.end(), [&] { return normal(generator); });
    }
    if (tensor->type == GGML_TYPE_F32) {
        std::copy(values.begin(), values.end(), static_cast<float*>(tensor->data));
    } else if (tensor->type == GGML_TYPE_F16) {
        ggml_fp32_to_fp16_row(values.data(), static_cast<ggml_fp16_t*>(tensor->data),
                              static_cast<std::int64_t>(count));
    } else {
        throw std::runtime_error(std::string("unsupported tensor type in ") + tensor->name);
    }
}

// New blocks shaped like block 0, numbered from `first`.
std::vector<ggml_tensor*> extra_blocks(const Source& source, ggml_context* target,
                                       std::uint32_t first, std::uint32_t count, float deviation) {
    std::mt19937 generator(kSeed);
    std::vector<ggml_tensor*> added;
    const std::string prefix = "blk.0.";
    for (std::uint32_t block = first; block < first + count; ++block) {
        for (ggml_tensor* model : model_tensors(source)) {
            const std::string name = ggml_get_name(model);
            if (name.rfind(prefix, 0) != 0) {
                continue;
            }
            ggml_tensor* tensor = ggml_dup_tensor(target, model);
            const std::string new_name =
                "blk." + std::to_string(block) + "." + name.substr(prefix.size());
            ggml_set_name(tensor, new_name.c_str());
            fill(tensor, generator, deviation);
            added.push_back(tensor);
        }
    }
    return added;
}

void write_deeper(const std::string& in, const std::string& out, std::uint32_t extra,
                  float deviation) {
    const Source source = read_model(in);
    const std::uint32_t n_layer = block_count(source.gguf.get());

    GgufPtr gguf(gguf_init_empty(), &gguf_free);
    gguf_set_kv(gguf.get(), source.gguf.get());
    gguf_set_val_u32(gguf.get(), kBlockCount, n_layer + extra);
    gguf_set_val_str(gguf.get(), "general.name", "Kestrune Tiny Chat Deeper");

    const std::size_t block_bytes = ggml_get_mem_size(source.data.get()) / n_layer + (1U << 20);
    GgmlPtr data(ggml_init({block_bytes * extra, nullptr, false}), &ggml_free);
    for (ggml_tensor* tensor : model_tensors(source)) {
        gguf_add_tensor(gguf.get(), tensor);
    }
    for (ggml_tensor* tensor : extra_blocks(source, data.get(), n_layer, extra, deviation)) {
        gguf_add_tensor(gguf.get(), tensor);
    }
    if (!gguf_write_to_file(gguf.get(), out.c_str(), false)) {
        throw std::runtime_error("cannot write " + out);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: make_deeper_model <in.gguf> <out.gguf> <extra blocks> <deviation>\n";
        return 2;
    }
    try {
        write_deeper(argv[1], argv[2], static_cast<std::uint32_t>(std::stoul(argv[3])),
                     std::stof(argv[4]));
    } catch (const std::exception& failure) {
        std::cerr << "make_deeper_model: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
