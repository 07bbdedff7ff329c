// NativeBackend: GGUF models run in-process through our llama.cpp binding, with a GPU/CPU
// layer split, optional quantised KV cache types and an attention-sink evictor prepared for
// long contexts. Local models are found in a fixed list of directories; missing ones are
// fetched from the Hugging Face hub. Besides the adapter contract it streams with speculative
// decoding, a second (smaller) native backend drafting for this one.
//
// One thread at a time; a stream must not outlive the backend it came from. A stream keeps the
// model it started on: unloading or loading another one meanwhile does not cut it short.
#pragma once

#include <functional>
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
#include "kestrune/engine/planner.hpp"
#include "kestrune/engine/speculative.hpp"

namespace kestrune::backends {

// The directories searched for GGUF files, in order, "~" expanded: the user's own two, then
// the usual mount points of `system_name` ("Windows" or any other).
KESTRUNE_API std::vector<std::string> model_search_dirs(std::string_view system_name);

// The binding's KV cache type for a type name: its llama.cpp identifier, and f16 for a name
// the table does not know.
KESTRUNE_API KvType kv_cache_type(std::string_view type_name);

// Token figures of the last answer: the prompt's size, how many of its tokens were evaluated
// (the rest came from the cache), and the tokens generated.
struct KESTRUNE_API TokenCounts {
    int prompt_tokens = 0;
    int evaluated_tokens = 0;
    int generated_tokens = 0;

    bool operator==(const TokenCounts&) const = default;
};

// How a model's conversations are rendered into its prompt.
struct KESTRUNE_API ChatTemplateUse {
    bool own_template = false;  // the model's own chat template, through llama.cpp's Jinja engine
    // One line: the model's own template and its reply format, or "ChatML: " and why.
    std::string description;

    bool operator==(const ChatTemplateUse&) const = default;
};

class KESTRUNE_API NativeBackend final : public BackendAdapter, public speculative::ModelHolder {
  public:
    NativeBackend();
    NativeBackend(NativeBackend&&) noexcept;
    NativeBackend& operator=(NativeBackend&&) noexcept;
    ~NativeBackend() override;

    std::string name() const override { return "native"; }
    bool is_loaded() const override;
    // The loaded model, for speculative decoding; null when none is loaded.
    std::shared_ptr<inference::Model> model() const override;

    BackendInfo detect() override;
    // Scan common directories for GGUF files.
    std::vector<ModelEntry> list_models() override;
    // "owner/repo/path/in/repo.gguf" is downloaded from the hub and its local path returned;
    // anything else comes back unchanged. progress_callback is never called.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    // The model runs in the inference core as a one-sequence session: the next turn of a chat
    // evaluates only what is new.
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config = std::nullopt) override;
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config = std::nullopt) override;
    // The reply read in its parts: the answer, the reasoning of a model that thinks first, and
    // the calls it asked for of the tools offered in config.tools (a call that does not read
    // as one stays in the answer as text). chat() and stream() give the answer alone.
    ChatReply chat_reply(const Messages& messages,
                         const std::optional<GenerationConfig>& config = std::nullopt);
    // As stream(), with the reasoning of a model that thinks first passed to `on_reasoning`
    // piece by piece as it comes (before the answer's pieces).
    TextStream stream_answer(const Messages& messages,
                             const std::optional<GenerationConfig>& config,
                             std::function<void(const std::string&)> on_reasoning);
    // Stream with speculative decoding using a draft model, sampled with the same settings as
    // stream() (so at temperature 0 the answer is the same).
    TextStream stream_speculative(NativeBackend& draft_backend, const Messages& messages,
                                  const std::optional<GenerationConfig>& config = std::nullopt,
                                  int k = 5);
    void unload() override;
    BackendStats stats() const override;

    // Tokens of the chat prompt a stream over `messages` would evaluate.
    int count_prompt_tokens(const Messages& messages) const;
    // One unit-length vector per text, pooled as the loaded model says (the mean of its tokens
    // for a chat model); a text beyond the context is an InvalidValueError.
    std::vector<std::vector<float>> embed(const std::vector<std::string>& texts);
    // The chat prompt the model sees for `messages`, with the assistant's turn opened (under
    // `config`: its tools offered, its thinking asked for or not).
    std::string format_prompt(const Messages& messages,
                              const std::optional<GenerationConfig>& config = std::nullopt) const;
    // How `messages` are rendered under `config` (by default, a one-message chat).
    ChatTemplateUse chat_template_use(
        const Messages& messages = {{"user", "Hello"}},
        const std::optional<GenerationConfig>& config = std::nullopt) const;
    TokenCounts last_token_counts() const;
    // Counts of the last speculative stream, complete once it has ended.
    const speculative::SpeculativeStats& last_speculative_stats() const;
    // The KV cache type the loaded model uses, after any fall-back to f16.
    std::string kv_type_in_use() const;
    // How the last load spread the model over RPC workers; absent when it used none.
    const std::optional<engine::InferencePlan>& worker_split() const;
    // Settings of the last load: "n_ctx", "n_gpu_layers", "n_threads", "kv_type_k".
    const JsonValue& load_settings() const;
    // The attention-sink evictor prepared by a load with a long context; null otherwise.
    const cache::AttentionSinkEvictor* evictor() const;

  private:
    struct State;
    // Lazy bodies of the streams (the public calls copy their arguments into them).
    TextStream stream_pieces(Messages messages, GenerationConfig config,
                             std::function<void(const std::string&)> on_reasoning);
    TextStream speculative_pieces(NativeBackend& draft_backend, Messages messages,
                                  GenerationConfig config, int k);

    std::unique_ptr<State> state_;
};

}  // namespace kestrune::backends
