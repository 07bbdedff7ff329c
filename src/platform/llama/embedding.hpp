// Embeddings: a llama.cpp context over a Llama's weights that returns, for a list of tokens,
// one vector pooled as the model says (mean over the tokens for models that name no pooling,
// such as chat models) and scaled to unit length.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "platform/llama/binding.hpp"

namespace kestrune::platform::llama {

class EmbeddingContext {
  public:
    // `n_ctx`: the most tokens one input may hold (0: the model's trained context).
    EmbeddingContext(const Llama& weights, int n_ctx, int n_threads);
    ~EmbeddingContext();
    EmbeddingContext(const EmbeddingContext&) = delete;
    EmbeddingContext& operator=(const EmbeddingContext&) = delete;

    // The vector of `tokens` (1 to n_ctx() of them; more or none is an InvalidValueError),
    // cut to its first `dimensions` values (1 to n_embd(); 0: all) before it is scaled.
    std::vector<float> embed(std::span<const Token> tokens, int dimensions = 0);
    int n_ctx() const { return n_ctx_; }
    int n_embd() const { return n_embd_; }

  private:
    struct Free {
        void operator()(llama_context* context) const;
    };
    const Llama* weights_;
    bool verbose_ = false;
    int n_ctx_ = 0;
    int n_embd_ = 0;
    std::unique_ptr<llama_context, Free> context_;
};

}  // namespace kestrune::platform::llama
