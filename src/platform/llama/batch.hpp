// Several sequences in one llama.cpp context, decoded together: each call to decode() is one
// llama_decode over tokens of any sequences, so concurrent generations share every pass over
// the weights. The context is built over the weights a Llama has loaded; the Llama still
// tokenizes, formats chats and builds samplers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/llama/binding.hpp"

struct llama_batch;

namespace kestrune::platform::llama {

struct BatchParams {
    int n_seq = 1;          // sequences the context holds at once
    int n_ctx_per_seq = 0;  // positions each sequence may use
    int n_batch = 512;      // tokens one decode() may hold
    int n_threads = 0;      // 0 or less: as the Llama was built with
};

// One token of one sequence at one position; `logits` asks for its row of logits.
struct BatchToken {
    int seq = 0;
    Token token = 0;
    int pos = 0;
    bool logits = false;
};

class BatchContext {
  public:
    BatchContext(const Llama& weights, const BatchParams& params);
    ~BatchContext();
    BatchContext(const BatchContext&) = delete;
    BatchContext& operator=(const BatchContext&) = delete;

    // One llama_decode over `tokens` (at most n_batch of them). A failure throws
    // RuntimeFailure; the positions of that call are then removed from their sequences.
    void decode(std::span<const BatchToken> tokens);
    // The logits of the i-th token of the last decode(), which must have asked for them.
    std::span<const float> logits(int i) const;
    // Drops positions from `first` on of a sequence.
    void truncate(int seq, int first);

    int n_batch() const { return params_.n_batch; }
    int n_seq() const { return params_.n_seq; }
    int n_ctx_per_seq() const { return params_.n_ctx_per_seq; }

  private:
    struct Free {
        void operator()(llama_context* context) const;
        void operator()(llama_batch* batch) const;
    };
    BatchParams params_;
    const Llama* weights_;
    bool verbose_ = false;
    int n_vocab_ = 0;
    std::unique_ptr<llama_context, Free> context_;
    std::unique_ptr<llama_batch, Free> batch_;
};

}  // namespace kestrune::platform::llama
