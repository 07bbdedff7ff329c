// Writes target/draft model pairs for speculative decoding whose agreement is set by one number:
//
//   pair-NN-target.gguf  a Q8_0 llama model of 16 random layers;
//   pair-NN-draft.gguf   the target's first layer alone, with the same embeddings and output
//                        head (under a tenth of the target's size);
//   pair-small-*.gguf    the same with a target of two layers, for tests that sample a lot.
//
// The target's layers beyond the draft's write outputs scaled down by the pair's factor into
// the residual stream, so the target's logits are the draft's plus a perturbation: the larger
// the factor, the more often the two pick different tokens. The factors of pair-50, pair-80 and
// pair-95 were measured to give greedy acceptance rates near 0.5, 0.8 and 0.95 (speculative_
// bench reports the rates it meets). The vocabulary, chat template and special tokens are
// copied from another GGUF model (the tiny chat model), so prompts tokenize into real words.
// Control and byte tokens get an output row of zeros: they are never the likeliest token, so
// answers never end early nor hold broken characters.
//
// Q8_0 rather than F16: on the CPU, llama.cpp multiplies F16 weights by one token's
// activations rounded to F16 but by a batch's in F32, so a batched check and plain decoding
// could break near-ties differently; Q8_0 quantises activations the same way in both.
//
// Usage: make_draft_pairs <vocabulary source.gguf> <output directory>
//        make_draft_pairs <vocabulary source.gguf> <output directory> <name> <factor> <layers>
// The second form writes one pair NAME-target.gguf/NAME-draft.gguf with a target of LAYERS
// layers (a larger target for benchmarks, or a factor being tried out).

#include <ggml.h>
#include <gguf.h>
#include <llama.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gguf_writing.hpp"

namespace {

using kestrune::tools::element_count;
using kestrune::tools::filled_f32;
using kestrune::tools::GgufPtr;
using kestrune::tools::quantise_q8_0;
using kestrune::tools::random_f16;
using kestrune::tools::TensorPlan;
using kestrune::tools::write_gguf;

constexpr std::int64_t kEmbd = 512;
constexpr std::int64_t kFeedForward = 1536;
constexpr std::int64_t kHeads = 8;
constexpr std::int64_t kDraftLayers = 1;
constexpr std::int64_t kTargetLayers = 16;
constexpr float kWeightStdev = 0.02F;
constexpr float kEmbeddingStdev = 0.2F;
// Wide enough logits that the likeliest token stands out at usual temperatures.
constexpr float kOutputStdev = 0.1F;
constexpr std::int32_t kNormalToken = 1;

struct PairPlan {
    std::string name;
    float factor;  // scale of the extra layers' outputs
    std::int64_t target_layers;
};

const std::vector<PairPlan> kPairs = {
    {"pair-95", 0.008F, kTargetLayers},
    {"pair-80", 0.03F, kTargetLayers},
    {"pair-50", 0.08F, kTargetLayers},
    // Cheap enough for tests that sample hundreds of answers.
    {"pair-small", 1.0F, 2},
};

struct Source {
    GgufPtr gguf{nullptr, &gguf_free};
    std::vector<bool> zero_output;  // per token: control and byte tokens
};

Source read_source(const std::string& path) {
    Source source;
    source.gguf.reset(gguf_init_from_file(path.c_str(), {true, nullptr}));
    if (!source.gguf) {
        throw std::runtime_error("cannot read " + path);
    }
    const std::int64_t types = gguf_find_key(source.gguf.get(), "tokenizer.ggml.token_type");
    if (types < 0) {
        throw std::runtime_error(path + " holds no token types");
    }
    const std::size_t count = gguf_get_arr_n(source.gguf.get(), types);
    const auto* values =
        static_cast<const std::int32_t*>(gguf_get_arr_data(source.gguf.get(), types));
    for (std::size_t i = 0; i < count; ++i) {
        source.zero_output.push_back(values[i] != kNormalToken);
    }
    return source;
}

void set_header(gguf_context* gguf, const Source& source, const std::string& name,
                std::int64_t layers) {
    gguf_set_kv(gguf, source.gguf.get());
    gguf_set_val_str(gguf, "general.name", name.c_str());
    gguf_set_val_str(gguf, "general.description",
                     "Random llama weights of a target/draft pair for speculative decoding");
    gguf_set_val_u32(gguf, "general.file_type", LLAMA_FTYPE_MOSTLY_F16);  // until quantised
    gguf_set_val_u32(gguf, "llama.embedding_length", static_cast<std::uint32_t>(kEmbd));
    gguf_set_val_u32(gguf, "llama.block_count", static_cast<std::uint32_t>(layers));
    gguf_set_val_u32(gguf, "llama.feed_forward_length", static_cast<std::uint32_t>(kFeedForward));
    gguf_set_val_u32(gguf, "llama.attention.head_count", static_cast<std::uint32_t>(kHeads));
    gguf_set_val_u32(gguf, "llama.attention.head_count_kv", static_cast<std::uint32_t>(kHeads));
    gguf_set_val_u32(gguf, "llama.rope.dimension_count",
                     static_cast<std::uint32_t>(kEmbd / kHeads));
}

TensorPlan random(std::string name, std::vector<std::int64_t> shape, std::uint32_t seed,
                  float stdev) {
    const std::int64_t count = element_count(shape);
    return {std::move(name), GGML_TYPE_F16, std::move(shape),
            [=] { return random_f16(count, seed, stdev); }};
}

TensorPlan norm(std::string name) {
    return {std::move(name), GGML_TYPE_F32, {kEmbd}, [] { return filled_f32(kEmbd, 1.0F); }};
}

TensorPlan output_head(const Source& source) {
    const auto n_vocab = static_cast<std::int64_t>(source.zero_output.size());
    return {"output.weight", GGML_TYPE_F16, {kEmbd, n_vocab}, [&source, n_vocab] {
                std::vector<std::uint8_t> bytes = random_f16(kEmbd * n_vocab, 2, kOutputStdev);
                const std::size_t row = kEmbd * sizeof(ggml_fp16_t);
                for (std::size_t token = 0; token < source.zero_output.size(); ++token) {
                    if (source.zero_output[token]) {
                        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(token * row), row,
                                    0);
                    }
                }
                return bytes;
            }};
}

// The same layer index gives the same weights in every model, so a draft is exactly the first
// layers of its target; `factor` scales what the layer adds to the residual stream.
void add_layer(std::vector<TensorPlan>& tensors, std::int64_t layer, float factor) {
    const std::string prefix = "blk." + std::to_string(layer) + ".";
    auto seed = [layer](std::uint32_t tensor) {
        return static_cast<std::uint32_t>(100 + layer * 16) + tensor;
    };
    const std::int64_t e = kEmbd;
    const std::int64_t f = kFeedForward;
    tensors.push_back(norm(prefix + "attn_norm.weight"));
    tensors.push_back(random(prefix + "attn_q.weight", {e, e}, seed(0), kWeightStdev));
    tensors.push_back(random(prefix + "attn_k.weight", {e, e}, seed(1), kWeightStdev));
    tensors.push_back(random(prefix + "attn_v.weight", {e, e}, seed(2), kWeightStdev));
    tensors.push_back(
        random(prefix + "attn_output.weight", {e, e}, seed(3), kWeightStdev * factor));
    tensors.push_back(norm(prefix + "ffn_norm.weight"));
    tensors.push_back(random(prefix + "ffn_gate.weight", {e, f}, seed(4), kWeightStdev));
    tensors.push_back(random(prefix + "ffn_up.weight", {e, f}, seed(5), kWeightStdev));
    tensors.push_back(random(prefix + "ffn_down.weight", {f, e}, seed(6), kWeightStdev * factor));
}

void write_model(const Source& source, const std::string& path, std::int64_t layers, float factor) {
    GgufPtr gguf(gguf_init_empty(), &gguf_free);
    const std::string name = std::filesystem::path(path).stem().string();
    set_header(gguf.get(), source, name, layers);
    const auto n_vocab = static_cast<std::int64_t>(source.zero_output.size());
    std::vector<TensorPlan> tensors = {
        random("token_embd.weight", {kEmbd, n_vocab}, 1, kEmbeddingStdev),
        norm("output_norm.weight"), output_head(source)};
    for (std::int64_t layer = 0; layer < layers; ++layer) {
        add_layer(tensors, layer, layer < kDraftLayers ? 1.0F : factor);
    }
    const std::string unquantised = path + ".f16.tmp";
    write_gguf(gguf.get(), tensors, unquantised);
    quantise_q8_0(unquantised, path);
}

void write_pair(const Source& source, const std::filesystem::path& out_dir, const PairPlan& pair) {
    write_model(source, (out_dir / (pair.name + "-target.gguf")).string(), pair.target_layers,
                pair.factor);
    write_model(source, (out_dir / (pair.name + "-draft.gguf")).string(), kDraftLayers, 1.0F);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::cerr << "usage: make_draft_pairs <vocabulary source.gguf> <output directory> "
                     "[<name> <factor> <layers>]\n";
        return 2;
    }
    try {
        const Source source = read_source(argv[1]);
        const std::filesystem::path out_dir(argv[2]);
        std::filesystem::create_directories(out_dir);
        const std::vector<PairPlan> pairs =
            argc == 6 ? std::vector<PairPlan>{{argv[3], std::stof(argv[4]), std::stoll(argv[5])}}
                      : kPairs;
        for (const PairPlan& pair : pairs) {
            if (pair.target_layers <= kDraftLayers) {
                throw std::runtime_error("a target needs more layers than its draft's " +
                                         std::to_string(kDraftLayers));
            }
            write_pair(source, out_dir, pair);
            std::cout << pair.name << ": written\n";
        }
    } catch (const std::exception& failure) {
        std::cerr << "make_draft_pairs: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
