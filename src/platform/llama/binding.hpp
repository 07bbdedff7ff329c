// Our binding of llama.cpp: one loaded model with a context of its own, driven through the
// library's C API. It offers the weights (which further contexts decode over: platform/llama/
// batch), the vocabulary (tokenize, pieces, end tokens), the model's chat templates, and
// token-level access to its own context (evaluate tokens with the logits of every position,
// trim and shift the cache). Generating text is not its job: the inference core's one token
// loop does that.
//
// Prompt reuse: the context remembers the tokens it has evaluated. A prompt that extends them
// evaluates only its new suffix; a prompt that diverges keeps the common prefix and drops the
// rest of the cache.
//
// Chat formatting uses the model's own template (tokenizer.chat_template) through llama.cpp's
// Jinja chat engine (platform/chat_template), which also names the texts that end a turn and
// reads the reply back into reasoning, content and tool calls. When the model has no template,
// or its template fails, the messages are formatted as ChatML and the rendering says why.
//
// Nothing here aborts the process: failures of the library become exceptions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "kestrune/core/kv_type.hpp"
#include "kestrune/core/messages.hpp"
#include "platform/llama/chat_template.hpp"
#include "platform/llama/sampler.hpp"

struct ggml_backend_device;
struct llama_model;
struct llama_context;
struct llama_vocab;

namespace kestrune::platform::rpc {
class Relay;
}

namespace kestrune::platform::llama {

// The KV cache options were refused: the library does not know the type under the requested
// name, or cannot use it for the KV cache. Callers treat it as a binding that does not know
// the type_k/type_v options and build again without them.
class KvTypeRejected : public InvalidValueError {
  public:
    using InvalidValueError::InvalidValueError;
};

// The binding cannot be used in this process (built without it, or made missing by a test).
class BindingMissing : public MissingComponentError {
  public:
    using MissingComponentError::MissingComponentError;
};

using kestrune::KvType;

// A worker of llama.cpp's RPC backend and how many of the model's layers it holds.
struct WorkerLayers {
    std::string endpoint;  // host:port
    int n_layers = 0;
};

struct Params {
    std::string model_path;
    int n_ctx = 512;       // 0: the model's trained context
    int n_gpu_layers = 0;  // negative: every layer; with workers: those on local GPUs
    // The model's last layers go to these workers, in order (the output layer with the last);
    // the local GPUs take the n_gpu_layers before them and the CPU the rest.
    std::vector<WorkerLayers> workers = {};
    int n_threads = 0;        // generation threads; 0 or less: every logical processor
    int n_threads_batch = 0;  // prompt threads; 0 or less: as n_threads
    int n_batch = 2048;       // tokens per llama_decode call while evaluating a prompt
    bool verbose = true;      // false silences the library's log while this object works
    std::optional<KvType> type_k = std::nullopt;
    std::optional<KvType> type_v = std::nullopt;
};

// How the last prompt met the cache: its size and how many of its tokens were evaluated
// (the rest were already held by the context).
struct PromptUse {
    int prompt_tokens = 0;
    int evaluated_tokens = 0;
};

class Llama {
  public:
    // Loads the model and creates its context. A missing or unreadable model file is a
    // NotFoundError or InvalidValueError naming it; refused KV cache types are KvTypeRejected.
    explicit Llama(const Params& params);
    Llama(Llama&&) noexcept;
    Llama& operator=(Llama&&) noexcept;
    Llama(const Llama&) = delete;
    Llama& operator=(const Llama&) = delete;
    ~Llama();

    // --- chats ---
    // The chat prompt for `messages` with the assistant's turn opened.
    std::string format_chat(const Messages& messages) const;
    // The same, with how it was rendered and how to read the reply.
    chat_template::Rendered render_chat(const Messages& messages,
                                        const chat_template::Options& options = {}) const;
    const chat_template::Templates& chat_templates() const { return *templates_; }

    // --- the context ---
    int n_ctx() const;
    // Tokens the context holds (evaluated, in position order).
    int n_tokens() const { return static_cast<int>(tokens_.size()); }
    const std::vector<Token>& tokens() const { return tokens_; }
    PromptUse last_prompt_use() const { return last_prompt_use_; }

    // Removes positions [p0, p1) of a sequence (p1 < 0: to the end); false when the library
    // cannot remove that range.
    bool kv_cache_seq_rm(int seq_id, int p0, int p1);
    // Adds `delta` to positions [p0, p1) of a sequence (p1 < 0: to the end).
    void kv_cache_seq_add(int seq_id, int p0, int p1, int delta);
    // Whether the cache can shift positions (kv_cache_seq_add) at all.
    bool can_shift() const;
    // The highest position a sequence holds in the cache, -1 when it holds none.
    int seq_pos_max(int seq_id = 0) const;

    // --- token level ---
    std::vector<Token> tokenize(std::string_view text, bool add_special = true,
                                bool parse_special = true) const;
    // The bytes of one token (control tokens give nothing).
    std::string token_to_piece(Token token) const;
    std::string detokenize(std::span<const Token> tokens) const;
    int n_vocab() const;
    int n_layers() const;
    bool is_eog(Token token) const;
    // False for a model without a KV cache (an encoder such as BERT): it gives embeddings, but
    // cannot generate text token by token.
    bool generates_text() const;
    // Equal for two models whose vocabularies hold the same token texts in the same order.
    std::uint64_t vocab_fingerprint() const;

    // Brings the context to exactly `prompt`, evaluating only what it does not hold yet, and
    // leaves the logits of its last token for sampling(). Returns the count evaluated.
    int evaluate_prompt(std::span<const Token> prompt);
    // Appends `tokens` to the context. With all_logits the logits of every position are kept
    // (logits(i)), otherwise only the last one's.
    void eval(std::span<const Token> tokens, bool all_logits = false);
    // The logits of the i-th position of the last eval (negative: counted from the end), one
    // value per vocabulary entry.
    std::span<const float> logits(int i = -1) const;
    // Keeps the first `n` tokens of the context and drops the rest from the cache.
    void truncate(int n);
    Sampler make_sampler(const Sampling& settings) const;

    // --- the library ---
    const llama_vocab* vocab() const { return vocab_; }
    // The loaded weights, for a further context over them (platform/llama_batch).
    llama_model* model() const { return model_.get(); }
    // The parameters the model and its context were built with.
    const Params& params() const { return params_; }
    // Why the first RPC worker that stopped answering was given up; none while every one
    // answers. After that nothing the model computes can be trusted.
    std::optional<std::string> worker_failure() const;
    // Throws that failure as a RuntimeFailure.
    void check_workers() const;

  private:
    struct ModelFree {
        void operator()(llama_model* model) const;
    };
    struct ContextFree {
        void operator()(llama_context* context) const;
    };

    // The devices of a model split over workers, each one's share of the offloaded layers, and
    // their count.
    struct Placement {
        std::vector<ggml_backend_device*> devices;
        std::vector<float> split;
        int offloaded = 0;
    };
    Placement place_on_workers();
    void confirm_workers(const std::vector<ggml_backend_device*>& devices) const;
    void decode(std::span<const Token> tokens, bool all_logits);
    void check_fits(std::size_t n_prompt) const;

    Params params_;
    // Before the model: the library's RPC client talks to them until the model is freed.
    std::vector<std::unique_ptr<rpc::Relay>> relays_;
    std::unique_ptr<llama_model, ModelFree> model_;
    std::unique_ptr<llama_context, ContextFree> context_;
    const llama_vocab* vocab_ = nullptr;
    std::unique_ptr<chat_template::Templates> templates_;
    std::vector<Token> tokens_;
    std::vector<float> logits_;  // rows of the last eval's outputs, when it took several decodes
    std::vector<const float*> row_views_;  // else the library's rows, read in place
    int n_logit_rows_ = 0;
    PromptUse last_prompt_use_;
};

// --- the seam through which modules obtain the binding at the moment of use ---

// Whether the binding can be used now.
bool binding_available();
// Throws BindingMissing when the binding cannot be used.
void require_binding();
// Builds a Llama, or throws BindingMissing when the binding cannot be used.
std::unique_ptr<Llama> load(const Params& params);

// While alive, the binding answers "missing" on this thread (for tests of the missing-library
// paths).
class ScopedMissingBinding {
  public:
    ScopedMissingBinding();
    ~ScopedMissingBinding();
    ScopedMissingBinding(const ScopedMissingBinding&) = delete;
    ScopedMissingBinding& operator=(const ScopedMissingBinding&) = delete;
};

}  // namespace kestrune::platform::llama
