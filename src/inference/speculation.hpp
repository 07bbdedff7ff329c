// Speculative decoding as a mode of the token loop: a small draft model proposes up to k
// tokens, the target checks them all in the one batched evaluation the scheduler makes anyway,
// and the longest prefix the target agrees with is kept together with the target's own next
// token.
//
// Both models' distributions are shaped as in plain generation (repeat penalty, top-k, top-p,
// temperature), so drafting never changes what the target would produce: at temperature 0 the
// output is exactly the target's own greedy output. Above 0 a proposal d is accepted with
// probability min(1, p(d) / q(d)) (p the target's and q the draft's distribution); on rejection
// the token is drawn from the normalised max(0, p - q), so the output follows p.
//
// The draft continues from its own cache each round, and neither model evaluates anything
// twice: a rejection only trims the caches. With adaptive k the number of proposals shrinks
// while the target rejects them and grows back while it accepts, so a poor draft costs little.
#pragma once

#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "kestrune/engine/speculative.hpp"
#include "platform/llama/batch.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/sampler.hpp"

namespace kestrune::inference {

using platform::llama::Sampling;
using platform::llama::Token;

// What a generation drafts with.
struct Speculation {
    std::shared_ptr<const platform::llama::Llama> draft;  // must share the target's vocabulary
    int k = 5;               // proposals per round (at least 1); with adaptive_k the most
    bool adaptive_k = true;  // start at k, then follow how much of each round the target keeps
};

// Counts of one speculative generation.
struct SpeculationCounts {
    int rounds = 0;    // draft-and-verify rounds (one target evaluation each)
    int drafted = 0;   // tokens the draft proposed
    int accepted = 0;  // proposals the target kept
    int last_k = 0;    // proposals asked for in the last round
};

// The sampling settings of the public speculative options (a max_tokens of 0 or less: no
// limit but the context).
Sampling sampling_of(const speculative::SpeculativeOptions& options);

// Refuses a speculation the target cannot use (k below 1, another vocabulary).
void check_speculation(const platform::llama::Llama& target, const Speculation& speculation);

// One sequence's drafting and choosing: proposes tokens with the draft model (in a context of
// its own, kept from round to round) and judges them on the target's logits.
class Speculator {
  public:
    Speculator(const platform::llama::Llama& target, Speculation speculation,
               const Sampling& sampling, int n_ctx);

    // Up to `count` proposals following `text` (the target's text so far, whose last token the
    // target has not evaluated yet); stops early at an end token.
    const std::vector<Token>& draft(std::span<const Token> text, int count);
    // The target's verdict on proposal `index` of the round: nothing when it is kept, else the
    // token taken in its place.
    std::optional<Token> check(std::span<const float> target_logits, std::size_t index);
    // The target's own next token.
    Token next(std::span<const float> target_logits);
    // The k of the next round, once the target has judged this one.
    int next_k(int accepted_this_round);
    int k() const { return k_; }

  private:
    bool keeps(std::span<const float> target_logits, std::size_t index);
    Token resample(std::size_t index);
    int draft_hold(std::span<const Token> text);

    Speculation speculation_;
    bool greedy_;
    platform::llama::TokenDistribution target_;
    platform::llama::TokenDistribution draft_distribution_;
    std::mt19937 random_;
    platform::llama::BatchContext draft_context_;
    std::vector<Token> draft_held_;  // what the draft's cache holds
    std::vector<Token> proposals_;
    std::vector<std::vector<float>> proposal_distributions_;  // q of each proposal
    std::vector<float> target_probabilities_;                 // p of the position checked
    int k_;
};

}  // namespace kestrune::inference
