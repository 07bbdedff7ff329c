// A model loaded for generation: its weights (which tokenize, render chats and read replies)
// and the scheduler that decodes every one of its sequences. The command line, the library's
// adapters and the server all load through here, so a model is placed on GPUs and RPC workers,
// and given its KV cache types, one way.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "inference/scheduler.hpp"
#include "kestrune/core/kv_type.hpp"
#include "kestrune/engine/planner.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/embedding.hpp"

namespace kestrune::inference {

struct ModelOptions {
    std::string path;
    // Layers on this machine's GPUs: absent, as many as the planner fits for the whole
    // context; negative, every layer (on a machine with a GPU).
    std::optional<int> n_gpu_layers = std::nullopt;
    int n_threads = 0;  // 0: every logical processor
    // The model's last layers go to these workers (host:port), in proportion to their memory.
    std::vector<std::string> rpc_workers = {};
    // Asked for; a type this llama.cpp cannot keep the cache in falls back to f16, with a
    // warning that names it.
    std::optional<KvType> type_k = std::nullopt;
    std::optional<KvType> type_v = std::nullopt;
    SchedulerOptions scheduler = {};
    bool verbose = false;  // the library's own log
};

class Model {
  public:
    // Checks the file's header for values llama.cpp would abort on, plans the layers, loads the
    // weights and starts the scheduler.
    explicit Model(const ModelOptions& options);
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    const platform::llama::Llama& weights() const { return *weights_; }
    // Shared, for a generation that drafts with this model.
    std::shared_ptr<const platform::llama::Llama> shared_weights() const { return weights_; }
    Scheduler& scheduler() { return *scheduler_; }
    const Scheduler& scheduler() const { return *scheduler_; }
    // How the model was spread over RPC workers; absent when it uses none.
    const std::optional<engine::InferencePlan>& worker_split() const { return worker_split_; }
    // The KV cache type keys are kept in, after any fall-back.
    std::string kv_type_in_use() const;

    // The unit-length embedding of `tokens` (its first `dimensions` values; 0: all) and how
    // many tokens it took: beyond the context (the scheduler's per sequence), the first ones
    // when `truncate`, else an InvalidValueError. Its context is made on first use; one input
    // at a time.
    struct Embedding {
        std::vector<float> vector;
        int tokens = 0;
    };
    Embedding embed(std::vector<platform::llama::Token> tokens, bool truncate, int dimensions = 0);

  private:
    ModelOptions options_;
    std::shared_ptr<platform::llama::Llama> weights_;
    std::optional<engine::InferencePlan> worker_split_;
    std::mutex embedding_mutex_;
    std::unique_ptr<platform::llama::EmbeddingContext> embedding_;  // goes before the weights
    std::unique_ptr<Scheduler> scheduler_;  // last: stops before the weights go
};

}  // namespace kestrune::inference
