// The adapter contract every runtime adapter implements, and the records adapters return.
// The road is the same for every runtime: detect → list_models → load → chat or stream
// (repeatedly) → unload, with stats at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"
#include "kestrune/core/messages.hpp"
#include "kestrune/core/stream.hpp"

namespace kestrune::backends {

struct KESTRUNE_API BackendInfo {
    std::string name;
    std::string version;  // empty when nothing answers
    bool available = false;
    int models_count = 0;
    std::string details;  // one line

    bool operator==(const BackendInfo&) const = default;
};

// The record as JSON, keys named and ordered as the fields.
KESTRUNE_API void to_json(Json& json, const BackendInfo& info);

struct KESTRUNE_API ModelEntry {
    std::string name;
    std::string backend;
    double size_mb = 0.0;
    std::string path;
    std::string family;
    std::string quant;
    double parameters_b = 0.0;

    bool operator==(const ModelEntry&) const = default;
};

KESTRUNE_API void to_json(Json& json, const ModelEntry& entry);

struct KESTRUNE_API BackendStats {
    std::string model_name;
    int context_max = 0;

    bool operator==(const BackendStats&) const = default;
};

KESTRUNE_API void to_json(Json& json, const BackendStats& stats);

// Sampling settings. The defaults suit local chat: answers of a few paragraphs, mild
// creativity, and a light penalty against loops.
struct KESTRUNE_API GenerationConfig {
    int max_tokens = 512;
    double temperature = 0.7;
    double top_p = 0.9;
    int top_k = 40;
    double repeat_penalty = 1.1;
    // Whether a model that can think before answering should (absent: as its template
    // defaults, which is to think). Adapters without such models ignore it.
    std::optional<bool> think = std::nullopt;
    // Tools offered to the model in its own tool format (the native adapter; the others
    // ignore them). The calls it asks for come back in NativeBackend::chat_reply.
    std::vector<ToolSpec> tools = {};
    // What the answer must be: "" free text, "json" any JSON object, otherwise the text of a
    // JSON schema every answer validates against. The native adapter keeps the answer to it
    // token by token (a grammar); a schema it cannot keep whole (a keyword whose constraint it
    // would drop) is an InvalidValueError naming the part. The other adapters ignore it.
    std::string format = {};

    bool operator==(const GenerationConfig&) const = default;
};

// Every option any adapter's load takes; each adapter reads the ones it needs and ignores
// the rest. Used with designated initialisers: backend.load("m.gguf", {.n_ctx = 8192}).
struct KESTRUNE_API LoadOptions {
    int n_ctx = 4096;
    int n_gpu_layers = -1;
    int n_threads = 0;
    std::string kv_type_k = "f16";
    std::string kv_type_v = "f16";
    // RPC workers (host:port) over which the native adapter spreads the model's layers, with
    // this machine, in proportion to the free memory of each; the others ignore them.
    std::vector<std::string> rpc_workers = {};
};

// Called with (completed, total) during a download; adapters may never call it.
using ProgressCallback = std::function<void(std::int64_t completed, std::int64_t total)>;

class KESTRUNE_API BackendAdapter {
  public:
    virtual ~BackendAdapter() = default;

    virtual std::string name() const = 0;
    virtual bool is_loaded() const = 0;

    virtual BackendInfo detect() = 0;
    virtual std::vector<ModelEntry> list_models() = 0;
    // Makes `model_name` ready to load and returns the reference load takes for it: a local
    // path, or `model_name` itself where the runtime keeps or fetches its models on its own.
    // A pull that fails throws one of the library's failure kinds (NotFoundError,
    // RuntimeFailure, MissingComponentError) saying what failed; it never returns a stand-in
    // text. Adapters may never call `progress_callback`.
    virtual std::string pull(const std::string& model_name,
                             const ProgressCallback& progress_callback = nullptr) = 0;
    virtual void load(const std::string& model_ref, const LoadOptions& options = {}) = 0;
    virtual std::string chat(const Messages& messages,
                             const std::optional<GenerationConfig>& config = std::nullopt) = 0;
    virtual TextStream stream(const Messages& messages,
                              const std::optional<GenerationConfig>& config = std::nullopt) = 0;
    virtual void unload() = 0;
    virtual BackendStats stats() const = 0;

  protected:
    BackendAdapter() = default;
    BackendAdapter(const BackendAdapter&) = default;
    BackendAdapter& operator=(const BackendAdapter&) = default;
};

}  // namespace kestrune::backends
