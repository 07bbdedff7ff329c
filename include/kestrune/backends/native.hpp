// NativeBackend: GGUF models run in-process through our llama.cpp binding, with a GPU/CPU
// layer split, optional quantised KV cache types and an attention-sink evictor prepared for
// long contexts. Local models are found in a fixed list of directories; missing ones are
// fetched from the Hugging Face hub. Besides the adapter contract it streams with speculative
// decoding, a second (smaller) native backend drafting for this one.
//
// One thread at a time; a stream must not outlive the backend it came from. A stream keeps the
// model it started on: unloading or loading another one meanwhile does not cut it short.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/cache/eviction.hpp"
#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"
#include "kestrune/core/kv_type.hpp"

namespace kestrune::platform::llama {
class Llama;
}

namespace kestrune::backends {

// The directories searched for GGUF files, in order, "~" expanded: the user's own two, then
// the usual mount points of `system_name` ("Windows" or any other).
KESTRUNE_API std::vector<std::string> model_search_dirs(std::string_view system_name);

// The binding's KV cache type for a type name: its llama.cpp identifier, and f16 for a name
// the table does not know.
KESTRUNE_API KvType kv_cache_type(std::string_view type_name);

class KESTRUNE_API NativeBackend final : public BackendAdapter {
  public:
    NativeBackend();
    NativeBackend(NativeBackend&&) noexcept;
    NativeBackend& operator=(NativeBackend&&) noexcept;
    ~NativeBackend() override;

    std::string name() const override { return "native"; }
    bool is_loaded() const override { return _llm != nullptr; }

    BackendInfo detect() override;
    // Scan common directories for GGUF files.
    std::vector<ModelEntry> list_models() override;
    // "owner/repo/path/in/repo.gguf" is downloaded from the hub and its local path returned;
    // anything else comes back unchanged. progress_callback is never called.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback) override;
    void load(const std::string& model_ref, const LoadOptions& options) override;
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config) override;
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config) override;
    // Stream with speculative decoding using a draft model.
    TextStream stream_speculative(NativeBackend& draft_backend, const Messages& messages,
                                  const std::optional<GenerationConfig>& config = std::nullopt,
                                  int k = 5);
    void unload() override;
    BackendStats stats() const override;

    // Shared with the streams running on it.
    std::shared_ptr<platform::llama::Llama> _llm;
    std::string _model_path;
    // Settings of the last load: "n_ctx", "n_gpu_layers", "n_threads", "kv_type_k".
    JsonValue _config;
    std::optional<cache::AttentionSinkEvictor> _evictor;

  private:
    // Lazy bodies of the streams (the public calls copy their arguments into them).
    TextStream stream_pieces(Messages messages, GenerationConfig config);
    TextStream speculative_pieces(NativeBackend& draft_backend, Messages messages,
                                  GenerationConfig config, int k);
};

}  // namespace kestrune::backends
