#include "platform/llama/batch.hpp"

#include <llama.h>

#include <algorithm>
#include <string>

#include "platform/llama/library.hpp"
#include "platform/os/system.hpp"

namespace kestrune::platform::llama {

void BatchContext::Free::operator()(llama_context* context) const {
    llama_free(context);
}

void BatchContext::Free::operator()(llama_batch* batch) const {
    llama_batch_free(*batch);
    delete batch;  // NOLINT(cppcoreguidelines-owning-memory): pairs with the new below
}

BatchContext::BatchContext(const Llama& weights, const BatchParams& params)
    : params_(params),
      weights_(&weights),
      verbose_(weights.params().verbose),
      n_vocab_(weights.n_vocab()) {
    QuietScope quiet(!verbose_);
    params_.n_seq = std::max(params_.n_seq, 1);
    params_.n_batch = std::max(params_.n_batch, params_.n_seq);
    if (params_.n_ctx_per_seq <= 0) {
        params_.n_ctx_per_seq = weights.n_ctx();
    }
    const int threads = params_.n_threads > 0            ? params_.n_threads
                        : weights.params().n_threads > 0 ? weights.params().n_threads
                                                         : system::cpu_count();
    llama_context_params context_params = llama_context_default_params();
    context_params.n_ctx = static_cast<std::uint32_t>(params_.n_ctx_per_seq * params_.n_seq);
    context_params.n_batch = static_cast<std::uint32_t>(params_.n_batch);
    context_params.n_ubatch = context_params.n_batch;
    context_params.n_seq_max = static_cast<std::uint32_t>(params_.n_seq);
    // Cells of their own for each sequence: in one shared pool attention spans the cells of
    // every sequence, so the cells an idle sequence keeps for reuse slowed every running one
    // (a long prompt's first token came a fifth later). No sequence goes beyond n_ctx_per_seq.
    context_params.kv_unified = false;
    context_params.n_threads = threads;
    context_params.n_threads_batch = threads;
    context_params.no_perf = true;
    context_.reset(llama_init_from_model(weights.model(), context_params));
    if (!context_) {
        throw RuntimeFailure("Failed to create a llama.cpp context for " +
                             std::to_string(params_.n_seq) + " sequences");
    }
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): owned by batch_, freed by Free
    batch_.reset(new llama_batch(llama_batch_init(params_.n_batch, 0, 1)));
}

BatchContext::~BatchContext() {
    // The library reports what it frees.
    QuietScope quiet(!verbose_);
    context_.reset();
}

void BatchContext::decode(std::span<const BatchToken> tokens) {
    if (tokens.size() > static_cast<std::size_t>(params_.n_batch)) {
        throw InvalidValueError("A batch of " + std::to_string(tokens.size()) + " tokens exceeds " +
                                std::to_string(params_.n_batch));
    }
    llama_batch& batch = *batch_;
    batch.n_tokens = static_cast<std::int32_t>(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        batch.token[i] = tokens[i].token;
        batch.pos[i] = tokens[i].pos;
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = tokens[i].seq;
        batch.logits[i] = static_cast<std::int8_t>(tokens[i].logits);
    }
    QuietScope quiet(!verbose_);
    const int status = llama_decode(context_.get(), batch);
    if (status != 0) {
        for (const BatchToken& token : tokens) {
            truncate(token.seq, token.pos);
        }
        weights_->check_workers();
        throw RuntimeFailure("llama_decode failed with status " + std::to_string(status));
    }
    // A worker that failed during the pass left logits computed on stand-in zeros.
    weights_->check_workers();
}

std::span<const float> BatchContext::logits(int i) const {
    const float* row = llama_get_logits_ith(context_.get(), i);
    if (row == nullptr) {
        throw InvalidValueError("No logits for batch position " + std::to_string(i));
    }
    return {row, static_cast<std::size_t>(n_vocab_)};
}

void BatchContext::truncate(int seq, int first) {
    QuietScope quiet(!verbose_);
    llama_memory_seq_rm(llama_get_memory(context_.get()), seq, first, -1);
}

}  // namespace kestrune::platform::llama
