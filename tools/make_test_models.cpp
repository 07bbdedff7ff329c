// Writes the two GGUF models the tests and benchmarks run on, deterministically:
//
//   tiny-chat.gguf   a word-level bigram language model of data/tiny-corpus.txt, dressed as a
//                    one-layer llama model. Embeddings are one-hot over "classes" (one per word
//                    or punctuation mark of the corpus, plus one for everything else), attention
//                    and feed-forward outputs are zero, and the output matrix holds the bigram
//                    log-probabilities, so the logits depend on the last token alone and greedy
//                    decoding continues a word with its most likely successor.
//   throughput.gguf  a llama model of about 150M random parameters with the same vocabulary,
//                    quantised to Q8_0, for speed measurements (and as a target the tiny model
//                    can draft for).
//
// Both share an SPM vocabulary: control tokens, ChatML markers (<|im_end|> ends a turn), the
// 256 byte-fallback tokens, then "▁word" tokens with every prefix a merge path needs.
//
// It also dresses a real vocabulary as a model: given one of llama.cpp's vocabulary files
// (models/ggml-vocab-*.gguf: the tokenizer and chat template of a model family, no weights),
// it writes a one-layer llama model of random weights with a tiny embedding width around it,
// so that chat templates and tokenizers can be run end to end on every family; or, around a
// BERT vocabulary, a small random BERT encoder, an embedding model.
//
// Usage: make_test_models <corpus.txt> <output directory>
//        make_test_models --vocab <ggml-vocab-NAME.gguf> <output.gguf>
//        make_test_models --bert <ggml-vocab-bert-NAME.gguf> <output.gguf>

#include <ggml.h>
#include <gguf.h>
#include <llama.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gguf_writing.hpp"

namespace {

using kestrune::tools::as_bytes;
using kestrune::tools::element_count;
using kestrune::tools::filled_f32;
using kestrune::tools::GgufPtr;
using kestrune::tools::quantise_q8_0;
using kestrune::tools::random_f16;
using kestrune::tools::TensorPlan;
using kestrune::tools::write_gguf;

constexpr const char* kSpaceMark = "\xE2\x96\x81";  // U+2581, SentencePiece's word boundary
constexpr float kUnseenLogit = -30.0F;
constexpr float kTieBreakPerToken = 1e-4F;
constexpr std::uint32_t kContextLength = 2048;
constexpr float kRmsEpsilon = 1e-5F;

constexpr const char* kChatMlTemplate =
    "{% for message in messages %}"
    "{{'<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + '\\n'}}"
    "{% endfor %}"
    "{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";

enum TokenType : std::int32_t { kNormal = 1, kUnknown = 2, kControl = 3, kByte = 6 };

enum SpecialToken : std::int32_t { kUnk = 0, kBos = 1, kEos = 2, kImStart = 3, kImEnd = 4 };

struct Vocabulary {
    std::vector<std::string> texts;
    std::vector<float> scores;
    std::vector<std::int32_t> types;
    std::map<std::string, std::int32_t> ids;

    std::int32_t add(const std::string& text, TokenType type) {
        auto found = ids.find(text);
        if (found != ids.end()) {
            return found->second;
        }
        const auto id = static_cast<std::int32_t>(texts.size());
        texts.push_back(text);
        scores.push_back(-static_cast<float>(id));
        types.push_back(type);
        ids.emplace(text, id);
        return id;
    }
    std::int64_t size() const { return static_cast<std::int64_t>(texts.size()); }
};

// One sentence of the corpus as vocabulary units: "▁word" tokens and punctuation marks.
using Sentence = std::vector<std::string>;

bool is_word_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || c == '\'' || c == '-';
}

Sentence split_sentence(const std::string& line) {
    Sentence units;
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i])) != 0) {
            ++i;
        } else if (is_word_char(line[i])) {
            std::size_t end = i;
            while (end < line.size() && is_word_char(line[end])) {
                ++end;
            }
            units.push_back(kSpaceMark + line.substr(i, end - i));
            i = end;
        } else {
            units.push_back(line.substr(i, 1));
            ++i;
        }
    }
    return units;
}

std::vector<Sentence> read_corpus(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read the corpus " + path);
    }
    std::vector<Sentence> sentences;
    std::string line;
    while (std::getline(in, line)) {
        Sentence units = split_sentence(line);
        if (!units.empty()) {
            sentences.push_back(std::move(units));
        }
    }
    if (sentences.empty()) {
        throw std::runtime_error("the corpus " + path + " holds no sentence");
    }
    return sentences;
}

std::string byte_token(int byte) {
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", byte);
    return text;
}

// The bigram model: one class per corpus unit plus class 0 for everything else (sentence
// start, bytes, prefixes, markers), counts of which token follows each class.
struct BigramModel {
    Vocabulary vocab;
    std::vector<std::int32_t> token_class;            // per token id
    std::vector<std::map<std::int32_t, int>> counts;  // per class: next token id -> count
    std::vector<std::int32_t> class_token;            // per class: its token id (-1 for 0)

    std::int64_t n_classes() const { return static_cast<std::int64_t>(counts.size()); }

    // log P(next | class) with a small, fixed preference for lower token ids so greedy
    // decoding never meets an exact tie.
    std::vector<float> logits(std::int64_t cls) const {
        std::vector<float> row(static_cast<std::size_t>(vocab.size()), kUnseenLogit);
        const auto& next = counts[static_cast<std::size_t>(cls)];
        int total = 0;
        for (const auto& [token, count] : next) {
            total += count;
        }
        for (const auto& [token, count] : next) {
            row[static_cast<std::size_t>(token)] =
                std::log(static_cast<float>(count) / static_cast<float>(total)) -
                kTieBreakPerToken * static_cast<float>(token);
        }
        return row;
    }
};

BigramModel build_bigram_model(const std::vector<Sentence>& sentences) {
    BigramModel model;
    Vocabulary& vocab = model.vocab;
    vocab.add("<unk>", kUnknown);
    vocab.add("<s>", kControl);
    vocab.add("</s>", kControl);
    vocab.add("<|im_start|>", kControl);
    vocab.add("<|im_end|>", kControl);
    for (int byte = 0; byte < 256; ++byte) {
        vocab.add(byte_token(byte), kByte);
    }
    model.class_token.push_back(-1);
    std::map<std::string, std::int32_t> unit_class;
    for (const auto& sentence : sentences) {
        for (const auto& unit : sentence) {
            if (unit_class.count(unit) == 0) {
                unit_class[unit] = static_cast<std::int32_t>(model.class_token.size());
                model.class_token.push_back(vocab.add(unit, kNormal));
            }
        }
    }
    // The SPM tokenizer merges adjacent pieces only into pieces the vocabulary holds, so every
    // prefix of a word must be a token for the whole word to be reachable.
    for (const auto& [unit, cls] : unit_class) {
        for (std::size_t length = std::string(kSpaceMark).size(); length < unit.size(); ++length) {
            if (unit.rfind(kSpaceMark, 0) == 0) {
                vocab.add(unit.substr(0, length), kNormal);
            }
        }
    }
    model.token_class.assign(static_cast<std::size_t>(vocab.size()), 0);
    for (const auto& [unit, cls] : unit_class) {
        model.token_class[static_cast<std::size_t>(vocab.ids.at(unit))] = cls;
    }
    model.counts.resize(model.class_token.size());
    for (const auto& sentence : sentences) {
        std::int32_t previous = 0;
        for (const auto& unit : sentence) {
            ++model.counts[static_cast<std::size_t>(previous)][vocab.ids.at(unit)];
            previous = unit_class.at(unit);
        }
        ++model.counts[static_cast<std::size_t>(previous)][kImEnd];
    }
    return model;
}

// Greedy decoding must end every sentence it starts; a loop would make chats run to
// max_tokens. Returns the greedy sentence from the start class.
std::string check_greedy_paths(const BigramModel& model) {
    std::string start_sentence;
    for (std::int64_t cls = 0; cls < model.n_classes(); ++cls) {
        std::string text;
        std::int64_t current = cls;
        int steps = 0;
        for (;; ++steps) {
            const auto row = model.logits(current);
            const auto next = std::max_element(row.begin(), row.end()) - row.begin();
            if (next == kImEnd) {
                break;
            }
            if (steps > 64) {
                throw std::runtime_error("greedy decoding loops after: " + text);
            }
            text += model.vocab.texts[static_cast<std::size_t>(next)];
            current = model.token_class[static_cast<std::size_t>(next)];
        }
        if (cls == 0) {
            start_sentence = text;
        }
    }
    return start_sentence;
}

struct Shape {
    std::int64_t n_embd;
    std::int64_t n_ff;
    std::int64_t n_head;
    std::int64_t n_layer;
};

void set_header(gguf_context* gguf, const std::string& name, const std::string& description,
                const Shape& shape, const Vocabulary& vocab, std::uint32_t file_type) {
    gguf_set_val_str(gguf, "general.architecture", "llama");
    gguf_set_val_str(gguf, "general.type", "model");
    gguf_set_val_str(gguf, "general.name", name.c_str());
    gguf_set_val_str(gguf, "general.author", "Kestrune");
    gguf_set_val_str(gguf, "general.description", description.c_str());
    gguf_set_val_str(gguf, "general.license", "MIT");
    gguf_set_val_u32(gguf, "general.file_type", file_type);
    gguf_set_val_u32(gguf, "llama.context_length", kContextLength);
    gguf_set_val_u32(gguf, "llama.embedding_length", static_cast<std::uint32_t>(shape.n_embd));
    gguf_set_val_u32(gguf, "llama.block_count", static_cast<std::uint32_t>(shape.n_layer));
    gguf_set_val_u32(gguf, "llama.feed_forward_length", static_cast<std::uint32_t>(shape.n_ff));
    gguf_set_val_u32(gguf, "llama.attention.head_count", static_cast<std::uint32_t>(shape.n_head));
    gguf_set_val_u32(gguf, "llama.attention.head_count_kv",
                     static_cast<std::uint32_t>(shape.n_head));
    gguf_set_val_u32(gguf, "llama.rope.dimension_count",
                     static_cast<std::uint32_t>(shape.n_embd / shape.n_head));
    gguf_set_val_f32(gguf, "llama.rope.freq_base", 10000.0F);
    gguf_set_val_f32(gguf, "llama.attention.layer_norm_rms_epsilon", kRmsEpsilon);
    gguf_set_val_u32(gguf, "llama.vocab_size", static_cast<std::uint32_t>(vocab.size()));

    gguf_set_val_str(gguf, "tokenizer.ggml.model", "llama");
    std::vector<const char*> texts;
    for (const auto& text : vocab.texts) {
        texts.push_back(text.c_str());
    }
    gguf_set_arr_str(gguf, "tokenizer.ggml.tokens", texts.data(), texts.size());
    gguf_set_arr_data(gguf, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, vocab.scores.data(),
                      vocab.scores.size());
    gguf_set_arr_data(gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, vocab.types.data(),
                      vocab.types.size());
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", kBos);
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", kImEnd);
    gguf_set_val_u32(gguf, "tokenizer.ggml.unknown_token_id", kUnk);
    gguf_set_val_u32(gguf, "tokenizer.ggml.padding_token_id", kEos);
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_bos_token", false);
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_eos_token", false);
    gguf_set_val_str(gguf, "tokenizer.chat_template", kChatMlTemplate);
}

void write_tiny_chat(const BigramModel& model, const std::string& path) {
    const std::int64_t n_vocab = model.vocab.size();
    // One-hot needs a dimension per class; round up to whole heads of 64.
    const std::int64_t n_embd = (model.n_classes() + 63) / 64 * 64;
    const Shape shape{n_embd, 64, n_embd / 64, 1};

    GgufPtr gguf(gguf_init_empty(), &gguf_free);
    set_header(gguf.get(), "Kestrune Tiny Chat",
               "Word-level bigram model of a short text about running models locally", shape,
               model.vocab, LLAMA_FTYPE_ALL_F32);

    auto one_hot_embeddings = [&] {
        std::vector<float> values(static_cast<std::size_t>(n_embd * n_vocab), 0.0F);
        for (std::int64_t token = 0; token < n_vocab; ++token) {
            values[static_cast<std::size_t>(
                token * n_embd + model.token_class[static_cast<std::size_t>(token)])] = 1.0F;
        }
        return as_bytes(values);
    };
    auto bigram_output = [&] {
        std::vector<float> values(static_cast<std::size_t>(n_embd * n_vocab), 0.0F);
        for (std::int64_t cls = 0; cls < model.n_classes(); ++cls) {
            const auto row = model.logits(cls);
            for (std::int64_t token = 0; token < n_vocab; ++token) {
                values[static_cast<std::size_t>(token * n_embd + cls)] =
                    row[static_cast<std::size_t>(token)];
            }
        }
        return as_bytes(values);
    };
    // RMS normalisation scales a one-hot vector by 1/sqrt(1/n_embd + eps); the final norm's
    // weight undoes that so the logits are exactly the stored log-probabilities.
    const float unscale = std::sqrt(1.0F / static_cast<float>(n_embd) + kRmsEpsilon);
    auto zeros = [](std::int64_t count) { return [count] { return filled_f32(count, 0.0F); }; };
    auto ones = [](std::int64_t count) { return [count] { return filled_f32(count, 1.0F); }; };

    const std::int64_t n_ff = shape.n_ff;
    const std::vector<TensorPlan> tensors = {
        {"token_embd.weight", GGML_TYPE_F32, {n_embd, n_vocab}, one_hot_embeddings},
        {"output_norm.weight",
         GGML_TYPE_F32,
         {n_embd},
         [=] { return filled_f32(n_embd, unscale); }},
        {"output.weight", GGML_TYPE_F32, {n_embd, n_vocab}, bigram_output},
        {"blk.0.attn_norm.weight", GGML_TYPE_F32, {n_embd}, ones(n_embd)},
        {"blk.0.attn_q.weight", GGML_TYPE_F32, {n_embd, n_embd}, zeros(n_embd * n_embd)},
        {"blk.0.attn_k.weight", GGML_TYPE_F32, {n_embd, n_embd}, zeros(n_embd * n_embd)},
        {"blk.0.attn_v.weight", GGML_TYPE_F32, {n_embd, n_embd}, zeros(n_embd * n_embd)},
        {"blk.0.attn_output.weight", GGML_TYPE_F32, {n_embd, n_embd}, zeros(n_embd * n_embd)},
        {"blk.0.ffn_norm.weight", GGML_TYPE_F32, {n_embd}, ones(n_embd)},
        {"blk.0.ffn_gate.weight", GGML_TYPE_F32, {n_embd, n_ff}, zeros(n_embd * n_ff)},
        {"blk.0.ffn_up.weight", GGML_TYPE_F32, {n_embd, n_ff}, zeros(n_embd * n_ff)},
        {"blk.0.ffn_down.weight", GGML_TYPE_F32, {n_ff, n_embd}, zeros(n_ff * n_embd)},
    };
    write_gguf(gguf.get(), tensors, path);
}

void write_random_f16(const Vocabulary& vocab, const std::string& path) {
    const Shape shape{1024, 2816, 16, 12};
    const std::int64_t n_vocab = vocab.size();
    GgufPtr gguf(gguf_init_empty(), &gguf_free);
    set_header(gguf.get(), "Kestrune Throughput", "Random llama weights for speed measurements",
               shape, vocab, LLAMA_FTYPE_MOSTLY_F16);

    std::uint32_t seed = 1234;
    auto random = [&](std::string name, std::vector<std::int64_t> dims) {
        const std::int64_t count = element_count(dims);
        const std::uint32_t tensor_seed = seed++;
        return TensorPlan{std::move(name), GGML_TYPE_F16, std::move(dims),
                          [=] { return random_f16(count, tensor_seed, 0.02F); }};
    };
    auto norm = [](std::string name, std::int64_t n) {
        return TensorPlan{std::move(name), GGML_TYPE_F32, {n}, [n] { return filled_f32(n, 1.0F); }};
    };
    const std::int64_t e = shape.n_embd;
    const std::int64_t f = shape.n_ff;
    std::vector<TensorPlan> tensors = {random("token_embd.weight", {e, n_vocab}),
                                       norm("output_norm.weight", e),
                                       random("output.weight", {e, n_vocab})};
    for (std::int64_t layer = 0; layer < shape.n_layer; ++layer) {
        const std::string prefix = "blk." + std::to_string(layer) + ".";
        tensors.push_back(norm(prefix + "attn_norm.weight", e));
        tensors.push_back(random(prefix + "attn_q.weight", {e, e}));
        tensors.push_back(random(prefix + "attn_k.weight", {e, e}));
        tensors.push_back(random(prefix + "attn_v.weight", {e, e}));
        tensors.push_back(random(prefix + "attn_output.weight", {e, e}));
        tensors.push_back(norm(prefix + "ffn_norm.weight", e));
        tensors.push_back(random(prefix + "ffn_gate.weight", {e, f}));
        tensors.push_back(random(prefix + "ffn_up.weight", {e, f}));
        tensors.push_back(random(prefix + "ffn_down.weight", {f, e}));
    }
    write_gguf(gguf.get(), tensors, path);
}

void quietly(ggml_log_level, const char*, void*) {}

void write_throughput(const Vocabulary& vocab, const std::string& path) {
    const std::string unquantised = path + ".f16.tmp";
    write_random_f16(vocab, unquantised);
    quantise_q8_0(unquantised, path);
}

// The vocabulary file's tokenizer and template keys alone: the family's own hyperparameters
// describe another shape.
GgufPtr tokenizer_from_vocab(const std::string& vocab_path, std::int64_t& n_vocab) {
    GgufPtr vocab(gguf_init_from_file(vocab_path.c_str(), {true, nullptr}), &gguf_free);
    if (!vocab) {
        throw std::runtime_error("cannot read the vocabulary " + vocab_path);
    }
    const std::int64_t tokens = gguf_find_key(vocab.get(), "tokenizer.ggml.tokens");
    if (tokens < 0) {
        throw std::runtime_error(vocab_path + " holds no tokenizer.ggml.tokens");
    }
    n_vocab = static_cast<std::int64_t>(gguf_get_arr_n(vocab.get(), tokens));
    GgufPtr gguf(gguf_init_empty(), &gguf_free);
    gguf_set_kv(gguf.get(), vocab.get());
    std::vector<std::string> others;
    for (std::int64_t key = 0; key < gguf_get_n_kv(gguf.get()); ++key) {
        if (!std::string(gguf_get_key(gguf.get(), key)).starts_with("tokenizer.")) {
            others.emplace_back(gguf_get_key(gguf.get(), key));
        }
    }
    for (const auto& key : others) {
        gguf_remove_key(gguf.get(), key.c_str());
    }
    gguf_set_val_str(gguf.get(), "general.name",
                     std::filesystem::path(vocab_path).stem().string().c_str());
    gguf_set_val_u32(gguf.get(), "general.file_type", LLAMA_FTYPE_MOSTLY_F16);
    return gguf;
}

// The vocabulary file's tokenizer and template, with the llama hyperparameters of `shape`.
GgufPtr header_from_vocab(const std::string& vocab_path, const Shape& shape,
                          std::int64_t& n_vocab) {
    GgufPtr gguf = tokenizer_from_vocab(vocab_path, n_vocab);
    gguf_set_val_str(gguf.get(), "general.architecture", "llama");
    gguf_set_val_u32(gguf.get(), "llama.context_length", kContextLength);
    gguf_set_val_u32(gguf.get(), "llama.embedding_length",
                     static_cast<std::uint32_t>(shape.n_embd));
    gguf_set_val_u32(gguf.get(), "llama.block_count", static_cast<std::uint32_t>(shape.n_layer));
    gguf_set_val_u32(gguf.get(), "llama.feed_forward_length",
                     static_cast<std::uint32_t>(shape.n_ff));
    gguf_set_val_u32(gguf.get(), "llama.attention.head_count",
                     static_cast<std::uint32_t>(shape.n_head));
    gguf_set_val_u32(gguf.get(), "llama.attention.head_count_kv",
                     static_cast<std::uint32_t>(shape.n_head));
    gguf_set_val_u32(gguf.get(), "llama.rope.dimension_count",
                     static_cast<std::uint32_t>(shape.n_embd / shape.n_head));
    gguf_set_val_f32(gguf.get(), "llama.rope.freq_base", 10000.0F);
    gguf_set_val_f32(gguf.get(), "llama.attention.layer_norm_rms_epsilon", kRmsEpsilon);
    gguf_set_val_u32(gguf.get(), "llama.vocab_size", static_cast<std::uint32_t>(n_vocab));
    return gguf;
}

// Random weights around a real vocabulary; the output matrix is the embedding's (tied), which
// keeps a file of a large vocabulary small.
void write_vocab_model(const std::string& vocab_path, const std::string& path) {
    const Shape shape{16, 32, 1, 1};
    std::int64_t n_vocab = 0;
    GgufPtr gguf = header_from_vocab(vocab_path, shape, n_vocab);
    std::uint32_t seed = 4321;
    auto random = [&](std::string name, std::vector<std::int64_t> dims) {
        const std::int64_t count = element_count(dims);
        const std::uint32_t tensor_seed = seed++;
        return TensorPlan{std::move(name), GGML_TYPE_F16, std::move(dims),
                          [=] { return random_f16(count, tensor_seed, 0.5F); }};
    };
    auto norm = [](std::string name, std::int64_t n) {
        return TensorPlan{std::move(name), GGML_TYPE_F32, {n}, [n] { return filled_f32(n, 1.0F); }};
    };
    const std::int64_t e = shape.n_embd;
    const std::int64_t f = shape.n_ff;
    const std::vector<TensorPlan> tensors = {
        random("token_embd.weight", {e, n_vocab}),  norm("output_norm.weight", e),
        norm("blk.0.attn_norm.weight", e),          random("blk.0.attn_q.weight", {e, e}),
        random("blk.0.attn_k.weight", {e, e}),      random("blk.0.attn_v.weight", {e, e}),
        random("blk.0.attn_output.weight", {e, e}), norm("blk.0.ffn_norm.weight", e),
        random("blk.0.ffn_gate.weight", {e, f}),    random("blk.0.ffn_up.weight", {e, f}),
        random("blk.0.ffn_down.weight", {f, e})};
    write_gguf(gguf.get(), tensors, path);
}

// A two-layer BERT encoder of random weights around a BERT vocabulary, mean-pooled: an
// embedding model as llama.cpp runs one (no KV cache, attention both ways, the whole input in
// one pass).
void write_bert_model(const std::string& vocab_path, const std::string& path) {
    constexpr std::uint32_t kBertContext = 512;
    const Shape shape{32, 64, 2, 2};
    std::int64_t n_vocab = 0;
    GgufPtr gguf = tokenizer_from_vocab(vocab_path, n_vocab);
    gguf_set_val_str(gguf.get(), "general.architecture", "bert");
    gguf_set_val_u32(gguf.get(), "bert.context_length", kBertContext);
    gguf_set_val_u32(gguf.get(), "bert.embedding_length", static_cast<std::uint32_t>(shape.n_embd));
    gguf_set_val_u32(gguf.get(), "bert.feed_forward_length",
                     static_cast<std::uint32_t>(shape.n_ff));
    gguf_set_val_u32(gguf.get(), "bert.block_count", static_cast<std::uint32_t>(shape.n_layer));
    gguf_set_val_u32(gguf.get(), "bert.attention.head_count",
                     static_cast<std::uint32_t>(shape.n_head));
    gguf_set_val_f32(gguf.get(), "bert.attention.layer_norm_epsilon", 1e-12F);
    gguf_set_val_bool(gguf.get(), "bert.attention.causal", false);
    gguf_set_val_u32(gguf.get(), "bert.pooling_type", 1);  // mean
    std::uint32_t seed = 8765;
    auto random = [&](std::string name, std::vector<std::int64_t> dims) {
        const std::int64_t count = element_count(dims);
        const std::uint32_t tensor_seed = seed++;
        return TensorPlan{std::move(name), GGML_TYPE_F16, std::move(dims),
                          [=] { return random_f16(count, tensor_seed, 0.3F); }};
    };
    auto constant = [](std::string name, std::int64_t n, float value) {
        return TensorPlan{
            std::move(name), GGML_TYPE_F32, {n}, [n, value] { return filled_f32(n, value); }};
    };
    const std::int64_t e = shape.n_embd;
    const std::int64_t f = shape.n_ff;
    std::vector<TensorPlan> tensors = {
        random("token_embd.weight", {e, n_vocab}),
        // F32, as converters write it: llama.cpp adds a row
        // of it to F32 activations directly.
        TensorPlan{
            "token_types.weight", GGML_TYPE_F32, {e, 2}, [e] { return filled_f32(2 * e, 0.01F); }},
        random("position_embd.weight", {e, kBertContext}),
        constant("token_embd_norm.weight", e, 1.0F), constant("token_embd_norm.bias", e, 0.0F)};
    for (std::int64_t layer = 0; layer < shape.n_layer; ++layer) {
        const std::string prefix = "blk." + std::to_string(layer) + ".";
        for (const char* part : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            tensors.push_back(random(prefix + part + ".weight", {e, e}));
            tensors.push_back(constant(prefix + part + ".bias", e, 0.0F));
        }
        tensors.push_back(constant(prefix + "attn_output_norm.weight", e, 1.0F));
        tensors.push_back(constant(prefix + "attn_output_norm.bias", e, 0.0F));
        tensors.push_back(random(prefix + "ffn_up.weight", {e, f}));
        tensors.push_back(constant(prefix + "ffn_up.bias", f, 0.0F));
        tensors.push_back(random(prefix + "ffn_down.weight", {f, e}));
        tensors.push_back(constant(prefix + "ffn_down.bias", e, 0.0F));
        tensors.push_back(constant(prefix + "layer_output_norm.weight", e, 1.0F));
        tensors.push_back(constant(prefix + "layer_output_norm.bias", e, 0.0F));
    }
    write_gguf(gguf.get(), tensors, path);
}

int write_corpus_models(const std::string& corpus, const std::filesystem::path& out_dir) {
    std::filesystem::create_directories(out_dir);
    const BigramModel model = build_bigram_model(read_corpus(corpus));
    const std::string greedy = check_greedy_paths(model);
    write_tiny_chat(model, (out_dir / "tiny-chat.gguf").string());
    write_throughput(model.vocab, (out_dir / "throughput.gguf").string());
    std::cout << "tiny-chat.gguf: " << model.vocab.size() << " tokens, " << model.n_classes()
              << " classes; greedy start:" << greedy << "\n"
              << "throughput.gguf: written\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[1] : "";
    if (argc != 3 && mode != "--vocab" && mode != "--bert") {
        std::cerr << "usage: make_test_models <corpus.txt> <output directory>\n"
                     "       make_test_models --vocab <ggml-vocab-NAME.gguf> <output.gguf>\n"
                     "       make_test_models --bert <ggml-vocab-bert-NAME.gguf> <output.gguf>\n";
        return 2;
    }
    try {
        llama_log_set(quietly, nullptr);
        if (argc == 4) {
            (mode == "--bert" ? write_bert_model : write_vocab_model)(argv[2], argv[3]);
            return 0;
        }
        return write_corpus_models(argv[1], argv[2]);
    } catch (const std::exception& failure) {
        std::cerr << "make_test_models: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
