// Checks a model file's header before llama.cpp loads it. The pinned llama.cpp asserts on some
// header values (a layer count above its fixed arrays, an expert layout that does not add up),
// and an assertion aborts the whole process. The values the header alone can tell are
// checked here, so such a file fails like any other bad input.
#pragma once

#include <cstdint>
#include <string>

#include "kestrune/core/export.hpp"
#include "kestrune/engine/ggufmeta.hpp"

namespace kestrune::engine::modelcheck {

// The most layers and experts the pinned llama.cpp holds (LLAMA_MAX_LAYERS, LLAMA_MAX_EXPERTS).
inline constexpr std::uint64_t kMaxLayers = 512;
inline constexpr std::uint64_t kMaxExperts = 1024;
// llama.cpp compares each key of a header with every other as it opens a file, so a header of
// hundreds of thousands of keys holds a load for minutes; real models have a few dozen.
inline constexpr std::uint64_t kMaxKeys = 16384;

// Reads the header of `path` and checks it as check_header does, and that it holds at most
// kMaxKeys keys. Failures to read the header propagate as the reader reports them.
KESTRUNE_API void check_model_file(const std::string& path);

// Fails with InvalidValueError naming the key when a value of the architecture's keys would
// trip one of llama.cpp's assertions: block_count outside 1..kMaxLayers, nextn_predict_layers
// above block_count, context_length or vocab_size of 0, attention.head_count_kv above
// attention.head_count, a negative count, or an expert layout llama.cpp refuses (expert_count,
// expert_used_count, expert_group_count, expert_group_used_count). Keys that are missing or
// hold another type are left to llama.cpp, which reports them without aborting. `path` only
// names the file in the message.
KESTRUNE_API void check_header(const ggufmeta::GgufMetadata& meta, const std::string& path);

}  // namespace kestrune::engine::modelcheck

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace modelcheck = engine::modelcheck;
}  // namespace kestrune
