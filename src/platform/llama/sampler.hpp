// A llama.cpp sampler chain: picks the next token from a row of logits with the temperature,
// top-k, top-p and repeat penalty of a Sampling.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct llama_vocab;
struct llama_sampler;
struct llama_token_data;

namespace kestrune::platform::llama {

using Token = std::int32_t;

// The sampling settings every generation is made with: the one record the doors translate
// their own into. temperature 0 (or less) is greedy; repeat_penalty 1 is off.
struct Sampling {
    std::optional<int> max_tokens =
        std::nullopt;  // absent: until an end token or the context is full
    double temperature = 0.8;
    double top_p = 0.95;
    int top_k = 40;
    double repeat_penalty = 1.0;
    std::optional<std::uint32_t> seed = std::nullopt;  // absent: a random seed
};

// How many of the latest tokens the repeat penalty looks at.
constexpr int kPenaltyWindow = 64;

// A sampler chain built from Sampling; owns the library's sampler.
class Sampler {
  public:
    Sampler(const Sampling& settings, const llama_vocab* vocab);
    Sampler(Sampler&&) noexcept;
    Sampler& operator=(Sampler&&) noexcept;
    ~Sampler();

    // Picks a token from a row of logits (one value per vocabulary entry) and records it for
    // the repeat penalty.
    Token sample(std::span<const float> logits);
    // Records tokens already in the text so the repeat penalty sees them.
    void accept(std::span<const Token> tokens);

    llama_sampler* get() const { return chain_.get(); }

  private:
    struct Free {
        void operator()(llama_sampler* sampler) const;
    };
    std::unique_ptr<llama_sampler, Free> chain_;
    std::vector<llama_token_data> candidates_;
    int n_vocab_ = 0;
};

// The distribution a Sampler draws from, made explicit for speculative decoding, which has to
// weigh proposals against it: the same library samplers (repeat penalty, then top-k, top-p and
// temperature) without the final draw. Buffers are reused: no allocation per token.
class TokenDistribution {
  public:
    TokenDistribution(const Sampling& settings, const llama_vocab* vocab);
    TokenDistribution(TokenDistribution&&) noexcept;
    TokenDistribution& operator=(TokenDistribution&&) noexcept;
    ~TokenDistribution();

    // Forgets the tokens seen so far and records the latest of `text` for the repeat penalty.
    void restart(std::span<const Token> text);
    // Records a token appended to the text.
    void accept(Token token);
    // The token greedy sampling picks: the highest logit after the repeat penalty, the lowest
    // id among equals.
    Token likeliest(std::span<const float> logits);
    // One probability per vocabulary entry, 0 for those top-k and top-p leave out.
    void probabilities(std::span<const float> logits, std::vector<float>& out);

  private:
    // The shaped candidates, in the order the library leaves them.
    std::span<const llama_token_data> shape(std::span<const float> logits);

    struct Free {
        void operator()(llama_sampler* sampler) const;
    };
    std::unique_ptr<llama_sampler, Free> chain_;
    std::vector<llama_token_data> candidates_;
    int n_vocab_ = 0;
};

}  // namespace kestrune::platform::llama
