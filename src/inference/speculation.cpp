#include "inference/speculation.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "kestrune/core/errors.hpp"

namespace kestrune::inference {

namespace {

using platform::llama::BatchToken;

// A token drawn with probability weights[i] / total.
Token draw(const std::vector<float>& weights, double total, std::mt19937& random) {
    double left = std::uniform_real_distribution<double>(0.0, total)(random);
    std::size_t last_possible = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (weights[i] > 0.0F) {
            last_possible = i;
            left -= weights[i];
            if (left < 0.0) {
                return static_cast<Token>(i);
            }
        }
    }
    // Rounding can leave a sliver past the last weight.
    return static_cast<Token>(last_possible);
}

std::size_t common_prefix(std::span<const Token> a, std::span<const Token> b) {
    return static_cast<std::size_t>(std::ranges::mismatch(a, b).in1 - a.begin());
}

}  // namespace

Sampling sampling_of(const speculative::SpeculativeOptions& options) {
    return {.max_tokens =
                options.max_tokens > 0 ? std::optional<int>(options.max_tokens) : std::nullopt,
            .temperature = options.temperature,
            .top_p = options.top_p,
            .top_k = options.top_k,
            .repeat_penalty = options.repeat_penalty,
            .seed = options.seed};
}

void check_speculation(const platform::llama::Llama& target, const Speculation& speculation) {
    if (speculation.k < 1) {
        throw InvalidValueError("Speculative decoding needs k of at least 1, got " +
                                std::to_string(speculation.k));
    }
    if (!speculation.draft) {
        throw RuntimeFailure("No draft model loaded");
    }
    if (target.vocab_fingerprint() != speculation.draft->vocab_fingerprint()) {
        throw InvalidValueError(
            "The draft model's vocabulary differs from the target model's: speculative decoding "
            "needs both to share one");
    }
}

Speculator::Speculator(const platform::llama::Llama& target, Speculation speculation,
                       const Sampling& sampling, int n_ctx)
    : speculation_(std::move(speculation)),
      greedy_(sampling.temperature <= 0.0),
      target_(sampling, target.vocab()),
      draft_distribution_(sampling, speculation_.draft->vocab()),
      random_(sampling.seed.value_or(std::random_device{}())),
      draft_context_(*speculation_.draft, {.n_seq = 1, .n_ctx_per_seq = n_ctx}),
      proposal_distributions_(static_cast<std::size_t>(speculation_.k)),
      k_(speculation_.k) {}

int Speculator::draft_hold(std::span<const Token> text) {
    // The draft evaluates only what its cache lacks: the tokens kept since its last round. The
    // row of the last token's logits in the last decode comes back.
    const std::size_t kept = std::min(common_prefix(draft_held_, text), text.size() - 1);
    draft_context_.truncate(0, static_cast<int>(kept));
    draft_held_.resize(kept);
    std::vector<BatchToken> batch;
    const auto chunk = static_cast<std::size_t>(draft_context_.n_batch());
    for (std::size_t start = kept; start < text.size(); start += chunk) {
        batch.clear();
        for (std::size_t i = start; i < std::min(text.size(), start + chunk); ++i) {
            batch.push_back({0, text[i], static_cast<int>(i), i + 1 == text.size()});
        }
        draft_context_.decode(batch);
        draft_held_.insert(draft_held_.end(), text.begin() + static_cast<std::ptrdiff_t>(start),
                           text.begin() + static_cast<std::ptrdiff_t>(start + batch.size()));
    }
    return static_cast<int>(batch.size()) - 1;
}

const std::vector<Token>& Speculator::draft(std::span<const Token> text, int count) {
    proposals_.clear();
    target_.restart(text);
    draft_distribution_.restart(text);
    if (count <= 0) {
        return proposals_;
    }
    int row = draft_hold(text);
    while (true) {
        const std::span<const float> logits = draft_context_.logits(row);
        Token token = 0;
        if (greedy_) {
            token = draft_distribution_.likeliest(logits);
        } else {
            std::vector<float>& q = proposal_distributions_.at(proposals_.size());
            draft_distribution_.probabilities(logits, q);
            token = draw(q, 1.0, random_);
        }
        draft_distribution_.accept(token);
        proposals_.push_back(token);
        if (speculation_.draft->is_eog(token) || static_cast<int>(proposals_.size()) == count) {
            return proposals_;
        }
        const BatchToken next{0, token, static_cast<int>(draft_held_.size()), true};
        draft_context_.decode(std::span(&next, 1));
        draft_held_.push_back(token);
        row = 0;
    }
}

std::optional<Token> Speculator::check(std::span<const float> target_logits, std::size_t index) {
    const Token proposal = proposals_.at(index);
    if (greedy_) {
        const Token own = target_.likeliest(target_logits);
        if (own != proposal) {
            return own;
        }
    } else if (!keeps(target_logits, index)) {
        return resample(index);
    }
    target_.accept(proposal);
    return std::nullopt;
}

Token Speculator::next(std::span<const float> target_logits) {
    if (greedy_) {
        return target_.likeliest(target_logits);
    }
    target_.probabilities(target_logits, target_probabilities_);
    return draw(target_probabilities_, 1.0, random_);
}

int Speculator::next_k(int accepted_this_round) {
    // One more after a round the target kept whole, half after one where it kept less than
    // half, so a disagreeing draft soon proposes a single token per round.
    const auto proposed = static_cast<int>(proposals_.size());
    if (!speculation_.adaptive_k || proposed == 0) {
        return k_;
    }
    if (accepted_this_round == proposed) {
        k_ = std::min(k_ + 1, speculation_.k);
    } else if (2 * accepted_this_round < proposed) {
        k_ = std::max(k_ / 2, 1);
    }
    return k_;
}

bool Speculator::keeps(std::span<const float> target_logits, std::size_t index) {
    // Keeps the proposal with probability min(1, p / q); p is left for resample().
    target_.probabilities(target_logits, target_probabilities_);
    const auto chosen = static_cast<std::size_t>(proposals_.at(index));
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) *
               proposal_distributions_.at(index)[chosen] <
           target_probabilities_[chosen];
}

Token Speculator::resample(std::size_t index) {
    // A token from the normalised max(0, p - q) of the rejected proposal.
    const std::vector<float>& q = proposal_distributions_.at(index);
    std::vector<float>& p = target_probabilities_;
    double total = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        total += std::max(0.0F, p[i] - q[i]);
    }
    // Rounding can leave nothing of the difference; p itself is then the exact answer.
    if (total <= 0.0) {
        return draw(p, 1.0, random_);
    }
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = std::max(0.0F, p[i] - q[i]);
    }
    return draw(p, total, random_);
}

}  // namespace kestrune::inference
