// A llama.cpp sampler chain: picks the next token from a row of logits with the controls of a
// Sampling (logit bias, penalties, top-k, typical, top-p, min-p, temperature), and keeps the
// answer to a grammar when one is given.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct llama_vocab;
struct llama_sampler;
struct llama_token_data;

namespace kestrune::platform::llama {

using Token = std::int32_t;

// How many of the latest tokens the penalties look at unless a request says otherwise.
constexpr int kPenaltyWindow = 64;

// The sampling settings every generation is made with: the one record the doors translate
// their own into. temperature 0 (or less) is greedy; each other control has a value that
// leaves it off (top_k 0, top_p 1, min_p 0, typical_p 1, penalties 1 and 0).
struct Sampling {
    std::optional<int> max_tokens =
        std::nullopt;  // absent: until an end token or the context is full
    double temperature = 0.8;
    double top_p = 0.95;
    int top_k = 40;
    double repeat_penalty = 1.0;
    std::optional<std::uint32_t> seed = std::nullopt;  // absent: a random seed
    double min_p = 0.0;
    double typical_p = 1.0;
    double presence_penalty = 0.0;       // subtracted once from a token already in the window
    double frequency_penalty = 0.0;      // subtracted for each time it is there
    int repeat_last_n = kPenaltyWindow;  // the window of the penalties; 0 turns them off
    // Added to a token's logit before anything else; -infinity bans it.
    std::vector<std::pair<Token, float>> logit_bias = {};
    // GBNF (rule "root") the answer must follow; empty: free text.
    std::string grammar = {};
    // Text the prompt already ends with that the grammar begins with (a template's call
    // grammar starts at the assistant's turn): fed to the grammar before the answer.
    std::string grammar_prefill = {};
};

// A sampler chain built from Sampling; owns the library's samplers. With a grammar a token the
// chain picks is checked against it and, when the grammar refuses it, picked again among the
// tokens it allows (as llama.cpp's own sampler does: the same distribution, restricted, at the
// cost of a pass over the vocabulary only where needed).
class Sampler {
  public:
    // A grammar llama.cpp cannot parse, one no token of the vocabulary can begin, or a logit
    // bias for a token beyond the vocabulary is an InvalidValueError.
    Sampler(const Sampling& settings, const llama_vocab* vocab);
    Sampler(Sampler&&) noexcept;
    Sampler& operator=(Sampler&&) noexcept;
    ~Sampler();

    // Picks a token from a row of logits (one value per vocabulary entry) and records it for
    // the penalties and the grammar. A grammar that no token can continue is an
    // InvalidValueError (the vocabulary cannot spell what it asks for).
    Token sample(std::span<const float> logits);
    // Records tokens already in the text so the penalties see them (not the grammar: it
    // starts with the answer).
    void accept(std::span<const Token> tokens);
    // The window the penalties look at.
    int penalty_window() const { return window_; }

    llama_sampler* get() const { return chain_.get(); }

  private:
    // Feeds `text` to the grammar.
    void prefill(const llama_vocab* vocab, const std::string& text);
    // Whether the grammar allows `token` next.
    bool allowed(Token token);
    // `logits` restricted to what the grammar allows, then through the chain.
    Token pick_allowed(std::span<const float> logits);

    struct Free {
        void operator()(llama_sampler* sampler) const;
    };
    std::unique_ptr<llama_sampler, Free> chain_;
    std::unique_ptr<llama_sampler, Free> grammar_;  // null: free text
    std::vector<llama_token_data> candidates_;
    int n_vocab_ = 0;
    int window_ = kPenaltyWindow;
};

// The distribution a Sampler draws from, made explicit for speculative decoding, which has to
// weigh proposals against it: the same library samplers (bias and penalties, then top-k,
// typical, top-p, min-p and temperature) without the final draw; no grammar. Buffers are reused: no
// allocation per token.
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
    int window_ = kPenaltyWindow;
};

}  // namespace kestrune::platform::llama
