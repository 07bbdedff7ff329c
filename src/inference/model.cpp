#include "inference/model.hpp"

#include <algorithm>
#include <cstdint>

#include "core/output.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/model_info.hpp"
#include "kestrune/engine/modelcheck.hpp"
#include "kestrune/engine/workers.hpp"

namespace kestrune::inference {

namespace {

namespace llama = platform::llama;

// The weights' own context only serves tokenizing and chat formatting: the scheduler decodes
// in a context of its own.
constexpr int kWeightsContext = 64;

// The planner's GPU layers for the whole context unless the caller chose, spread over the
// workers when there are any (each asked for its memory first: one that does not answer is
// refused by name, with nothing loaded).
engine::InferencePlan place_layers(const ModelOptions& options) {
    const auto spec = ggufmeta::gguf_to_model_spec(options.path);
    const int context = options.scheduler.n_ctx * std::max(options.scheduler.parallel, 1);
    const engine::HardwareProfile hardware = engine::detect_hardware();
    engine::InferencePlan plan = engine::plan_inference(spec, hardware, context);
    if (options.rpc_workers.empty()) {
        // llama.cpp itself reads a negative count as every layer.
        if (options.n_gpu_layers) {
            plan.n_gpu_layers = *options.n_gpu_layers;
        }
        return plan;
    }
    if (options.n_gpu_layers) {
        const int layers = static_cast<int>(std::clamp<std::int64_t>(spec.n_layers, 0, INT32_MAX));
        plan.n_gpu_layers = hardware.total_vram_mb <= 0 ? 0
                            : *options.n_gpu_layers < 0 ? layers
                                                        : *options.n_gpu_layers;
    }
    return engine::plan_across_workers(plan, spec, options.rpc_workers);
}

std::shared_ptr<llama::Llama> load_weights(llama::Params params, const ModelOptions& options) {
    if (!options.type_k && !options.type_v) {
        return llama::load(params);
    }
    params.type_k = options.type_k;
    params.type_v = options.type_v;
    try {
        return llama::load(params);
    } catch (const llama::KvTypeRejected& refused) {
        output::print(std::string("  Warning: ") + refused.what() + "; the KV cache stays f16\n");
        params.type_k.reset();
        params.type_v.reset();
        return llama::load(params);
    }
}

}  // namespace

Model::Model(const ModelOptions& options) : options_(options) {
    llama::require_binding();
    // llama.cpp aborts the process on some header values; refuse those files first.
    modelcheck::check_model_file(options.path);
    const engine::InferencePlan plan = place_layers(options);
    llama::Params params{.model_path = options.path,
                         .n_ctx = kWeightsContext,
                         .n_gpu_layers = plan.n_gpu_layers,
                         .n_threads = options.n_threads,
                         .n_batch = kWeightsContext,
                         .verbose = options.verbose};
    for (const auto& worker : plan.workers) {
        params.workers.push_back({.endpoint = worker.endpoint, .n_layers = worker.n_layers});
    }
    if (!plan.workers.empty()) {
        worker_split_ = plan;
    }
    weights_ = load_weights(std::move(params), options);
    scheduler_ = std::make_unique<Scheduler>(*weights_, options.scheduler);
}

Model::~Model() = default;

std::string Model::kv_type_in_use() const {
    const auto& type_k = weights_->params().type_k;
    return type_k ? type_k->name : "f16";
}

Model::Embedding Model::embed(std::vector<platform::llama::Token> tokens, bool truncate,
                              int dimensions) {
    std::lock_guard lock(embedding_mutex_);
    if (!embedding_) {
        embedding_ = std::make_unique<llama::EmbeddingContext>(*weights_, options_.scheduler.n_ctx,
                                                               options_.n_threads);
    }
    if (truncate && tokens.size() > static_cast<std::size_t>(embedding_->n_ctx())) {
        tokens.resize(static_cast<std::size_t>(embedding_->n_ctx()));
    }
    return {.vector = embedding_->embed(tokens, dimensions),
            .tokens = static_cast<int>(tokens.size())};
}

}  // namespace kestrune::inference
