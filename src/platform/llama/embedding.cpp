#include "platform/llama/embedding.hpp"

#include <llama.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/llama/library.hpp"
#include "platform/os/system.hpp"

namespace kestrune::platform::llama {

namespace {

// A context of `pooling` over the weights; the whole input in one batch, as encoders need.
llama_context* embedding_context(const Llama& weights, int n_ctx, int n_threads,
                                 enum llama_pooling_type pooling) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = static_cast<std::uint32_t>(n_ctx);
    params.n_batch = params.n_ctx;
    params.n_ubatch = params.n_ctx;
    params.n_seq_max = 1;
    params.embeddings = true;
    params.pooling_type = pooling;
    params.n_threads = n_threads;
    params.n_threads_batch = n_threads;
    params.no_perf = true;
    return llama_init_from_model(weights.model(), params);
}

void scale_to_unit_length(std::vector<float>& vector) {
    double sum = 0;
    for (const float value : vector) {
        sum += static_cast<double>(value) * value;
    }
    if (sum > 0) {
        const auto scale = static_cast<float>(1 / std::sqrt(sum));
        std::ranges::transform(vector, vector.begin(), [&](float value) { return value * scale; });
    }
}

}  // namespace

void EmbeddingContext::Free::operator()(llama_context* context) const {
    llama_free(context);
}

EmbeddingContext::EmbeddingContext(const Llama& weights, int n_ctx, int n_threads)
    : weights_(&weights), verbose_(weights.params().verbose) {
    QuietScope quiet(!verbose_);
    const int trained = llama_model_n_ctx_train(weights.model());
    n_ctx_ = n_ctx > 0 ? std::min(n_ctx, trained) : trained;
    n_embd_ = llama_model_n_embd_out(weights.model());
    const int threads = n_threads > 0                    ? n_threads
                        : weights.params().n_threads > 0 ? weights.params().n_threads
                                                         : system::cpu_count();
    // The pooling the model's file names; a model that names none (a chat model) is pooled
    // by the mean of its tokens, as llama.cpp's own server does for one.
    context_.reset(embedding_context(weights, n_ctx_, threads, LLAMA_POOLING_TYPE_UNSPECIFIED));
    if (context_ && llama_pooling_type(context_.get()) == LLAMA_POOLING_TYPE_NONE) {
        context_.reset(embedding_context(weights, n_ctx_, threads, LLAMA_POOLING_TYPE_MEAN));
    }
    if (!context_) {
        throw RuntimeFailure("Failed to create a llama.cpp context for embeddings");
    }
    if (llama_pooling_type(context_.get()) == LLAMA_POOLING_TYPE_RANK) {
        throw InvalidValueError("This model ranks documents; it gives no embeddings");
    }
}

EmbeddingContext::~EmbeddingContext() {
    QuietScope quiet(!verbose_);
    context_.reset();
}

std::vector<float> EmbeddingContext::embed(std::span<const Token> tokens, int dimensions) {
    if (dimensions < 0 || dimensions > n_embd_) {
        throw InvalidValueError("'dimensions' must be from 1 to " + std::to_string(n_embd_) +
                                " for this model");
    }
    if (tokens.empty()) {
        throw InvalidValueError("An input to embed holds no tokens");
    }
    if (tokens.size() > static_cast<std::size_t>(n_ctx_)) {
        throw InvalidValueError("An input of " + std::to_string(tokens.size()) +
                                " tokens is longer than the context of " + std::to_string(n_ctx_));
    }
    QuietScope quiet(!verbose_);
    llama_memory_clear(llama_get_memory(context_.get()), true);
    llama_batch batch = llama_batch_init(static_cast<std::int32_t>(tokens.size()), 0, 1);
    batch.n_tokens = static_cast<std::int32_t>(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        batch.token[i] = tokens[i];
        batch.pos[i] = static_cast<llama_pos>(i);
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 0;
        batch.logits[i] = 1;  // every token takes part in the pooling
    }
    const int status = llama_decode(context_.get(), batch);
    llama_batch_free(batch);
    weights_->check_workers();
    const float* pooled = status == 0 ? llama_get_embeddings_seq(context_.get(), 0) : nullptr;
    if (pooled == nullptr) {
        throw RuntimeFailure("llama.cpp computed no embedding (status " + std::to_string(status) +
                             ")");
    }
    std::vector<float> vector(pooled, pooled + (dimensions > 0 ? dimensions : n_embd_));
    scale_to_unit_length(vector);
    return vector;
}

}  // namespace kestrune::platform::llama
