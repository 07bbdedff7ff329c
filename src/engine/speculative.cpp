#include "kestrune/engine/speculative.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"

namespace kestrune::speculative {

namespace {

using platform::llama::Llama;
using platform::llama::Sampling;
using platform::llama::Token;
using platform::llama::TokenDistribution;

Sampling sampling_of(const SpeculativeOptions& options) {
    return {.temperature = options.temperature,
            .top_p = options.top_p,
            .top_k = options.top_k,
            .repeat_penalty = options.repeat_penalty};
}

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

// Chooses the draft's proposals, the target's verdicts and the target's own tokens from both
// models' distributions shaped as in plain generation: greedily at temperature 0, otherwise by
// the speculative sampling rule. Its buffers live as long as the stream.
class TokenChooser {
  public:
    TokenChooser(const Llama& target, const Llama& draft, const SpeculativeOptions& options)
        : greedy_(options.temperature <= 0.0),
          target_(sampling_of(options), target.vocab()),
          draft_(sampling_of(options), draft.vocab()),
          random_(options.seed.value_or(std::random_device{}())),
          proposal_distributions_(static_cast<std::size_t>(options.k)) {}

    // Both models see the text so far for the repeat penalty.
    void start_round(std::span<const Token> text) {
        target_.restart(text);
        draft_.restart(text);
    }

    // The draft's proposal `index` of the round; its distribution is kept for the verdict.
    Token propose(std::span<const float> draft_logits, std::size_t index) {
        Token token = 0;
        if (greedy_) {
            token = draft_.likeliest(draft_logits);
        } else {
            std::vector<float>& q = proposal_distributions_.at(index);
            draft_.probabilities(draft_logits, q);
            token = draw(q, 1.0, random_);
        }
        draft_.accept(token);
        return token;
    }

    // The target's verdict on the round's proposal `index`: nothing when it is kept, else the
    // token taken in its place.
    std::optional<Token> check(std::span<const float> target_logits, std::size_t index,
                               Token proposal) {
        if (greedy_) {
            const Token own = target_.likeliest(target_logits);
            if (own != proposal) {
                return own;
            }
        } else {
            const std::vector<float>& q = proposal_distributions_.at(index);
            if (!keeps(target_logits, q, proposal)) {
                return resample(q);
            }
        }
        target_.accept(proposal);
        return std::nullopt;
    }

    // The target's own next token.
    Token next(std::span<const float> target_logits) {
        if (greedy_) {
            return target_.likeliest(target_logits);
        }
        target_.probabilities(target_logits, target_probabilities_);
        return draw(target_probabilities_, 1.0, random_);
    }

  private:
    // Keeps the proposal with probability min(1, p / q); p is left for resample().
    bool keeps(std::span<const float> target_logits, const std::vector<float>& q, Token proposal) {
        target_.probabilities(target_logits, target_probabilities_);
        const auto chosen = static_cast<std::size_t>(proposal);
        return std::uniform_real_distribution<double>(0.0, 1.0)(random_) * q[chosen] <
               target_probabilities_[chosen];
    }

    // A token from the normalised max(0, p - q) of the rejected proposal.
    Token resample(const std::vector<float>& q) {
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

    bool greedy_;
    TokenDistribution target_;
    TokenDistribution draft_;
    std::mt19937 random_;
    std::vector<std::vector<float>> proposal_distributions_;  // q of each proposal
    std::vector<float> target_probabilities_;                 // p of the position checked
};

// Brings `llm` to hold every token of `sequence` but the last, evaluating only what it lacks;
// returns how many tokens that was.
int hold_all_but_last(Llama& llm, const std::vector<Token>& sequence) {
    const std::size_t wanted = sequence.size() - 1;
    // Shared tokens count only while token i sits at position i.
    const bool contiguous = llm.seq_pos_max() + 1 == llm.n_tokens();
    std::size_t common = 0;
    if (contiguous) {
        const auto& held = llm.tokens();
        common = static_cast<std::size_t>(
            std::mismatch(held.begin(), held.end(), sequence.begin(), sequence.end()).first -
            held.begin());
    }
    common = std::min(common, wanted);
    llm.truncate(static_cast<int>(common));
    llm.eval(std::span(sequence).subspan(common, wanted - common));
    return static_cast<int>(wanted - common);
}

// Up to `count` draft tokens following `sequence` into `proposals`; stops early at an end
// token. The draft evaluates only what its cache lacks: the tokens kept since its last round.
void draft_tokens(Llama& draft, const std::vector<Token>& sequence, int count,
                  TokenChooser& chooser, std::vector<Token>& proposals) {
    proposals.clear();
    if (count <= 0) {
        return;
    }
    draft.evaluate_prompt(sequence);
    while (true) {
        const Token token = chooser.propose(draft.logits(), proposals.size());
        proposals.push_back(token);
        if (draft.is_eog(token) || static_cast<int>(proposals.size()) == count) {
            return;
        }
        draft.eval(std::span(&token, 1));
    }
}

// Reused from round to round, so that no round allocates.
struct RoundBuffers {
    std::vector<Token> proposals;
    std::vector<Token> batch;
    std::vector<Token> kept;
};

// The target evaluates the newest token and the proposals in one batch; fills `kept` with the
// proposals it keeps followed by its own token (none after a kept end token).
void verify(Llama& target, const std::vector<Token>& sequence, TokenChooser& chooser,
            SpeculativeStats& counts, RoundBuffers& round) {
    const std::vector<Token>& proposals = round.proposals;
    round.batch.assign(1, sequence.back());
    round.batch.insert(round.batch.end(), proposals.begin(), proposals.end());
    const int caught_up = hold_all_but_last(target, sequence);
    if (counts.rounds == 0) {
        counts.prompt_evaluated = caught_up + 1;  // the prompt's last token goes in the batch
    }
    target.eval(round.batch, true);
    ++counts.rounds;
    counts.drafted += static_cast<int>(proposals.size());

    round.kept.clear();
    for (std::size_t i = 0; i < proposals.size(); ++i) {
        const auto replacement = chooser.check(target.logits(static_cast<int>(i)), i, proposals[i]);
        if (replacement) {
            round.kept.push_back(*replacement);
            return;
        }
        round.kept.push_back(proposals[i]);
        ++counts.accepted;
        if (target.is_eog(proposals[i])) {
            return;
        }
    }
    round.kept.push_back(chooser.next(target.logits(static_cast<int>(proposals.size()))));
}

// The next round's k: one more after a round the target kept whole, half after one where it
// kept less than half, so a disagreeing draft soon proposes a single token per round.
int adapted_k(int k, int most, int proposed, int accepted) {
    if (proposed == 0) {
        return k;
    }
    if (accepted == proposed) {
        return std::min(k + 1, most);
    }
    if (2 * accepted < proposed) {
        return std::max(k / 2, 1);
    }
    return k;
}

}  // namespace

TextStream speculative_generate_tokens(Llama& target, Llama& draft, std::vector<Token> prompt,
                                       SpeculativeOptions options, SpeculativeStats* stats) {
    if (options.k < 1) {
        throw InvalidValueError("Speculative decoding needs k of at least 1, got " +
                                std::to_string(options.k));
    }
    if (target.vocab_fingerprint() != draft.vocab_fingerprint()) {
        throw InvalidValueError(
            "The draft model's vocabulary differs from the target model's: speculative decoding "
            "needs both to share one");
    }
    SpeculativeStats own_counts;
    SpeculativeStats& counts = stats != nullptr ? *stats : own_counts;
    counts = {};

    TokenChooser chooser(target, draft, options);
    RoundBuffers round;
    // The prompt and every token produced; the target has not yet evaluated the last one.
    std::vector<Token> sequence = std::move(prompt);
    if (sequence.empty()) {
        throw InvalidValueError("The prompt holds no token");
    }
    counts.prompt_tokens = static_cast<int>(sequence.size());
    const int limit = options.max_tokens > 0 ? options.max_tokens : INT_MAX;
    int k = options.k;
    utf8::WholeCharacters characters;
    bool ended = false;
    // A full context ends the answer once something was produced (the prompt itself must fit).
    while (!ended && counts.generated < limit &&
           (counts.generated == 0 || static_cast<int>(sequence.size()) <= target.n_ctx())) {
        const int size = static_cast<int>(sequence.size());
        const int count = std::min(
            {k, limit - counts.generated - 1, target.n_ctx() - size, draft.n_ctx() - size + 1});
        counts.last_k = k;
        chooser.start_round(sequence);
        draft_tokens(draft, sequence, count, chooser, round.proposals);
        const int accepted_before = counts.accepted;
        verify(target, sequence, chooser, counts, round);
        if (options.adaptive_k) {
            k = adapted_k(k, options.k, static_cast<int>(round.proposals.size()),
                          counts.accepted - accepted_before);
        }
        for (const Token token : round.kept) {
            if (target.is_eog(token)) {
                ended = true;
                break;
            }
            sequence.push_back(token);
            ++counts.generated;
            if (std::string piece = characters.add(target.token_to_piece(token)); !piece.empty()) {
                co_yield std::move(piece);
            }
        }
        // Both caches keep only what was accepted; the newest token waits for the next round.
        target.truncate(static_cast<int>(sequence.size()) - 1);
        draft.truncate(static_cast<int>(sequence.size()) - 1);
    }
    if (std::string rest = characters.finish(); !rest.empty()) {
        co_yield std::move(rest);
    }
}

TextStream speculative_generate(Llama& target, Llama& draft, Messages messages,
                                SpeculativeOptions options, SpeculativeStats* stats) {
    auto pieces = speculative_generate_tokens(
        target, draft, target.tokenize(target.format_chat(messages)), options, stats);
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

TextStream speculative_generate_from_backends(const ModelHolder& target_backend,
                                              const ModelHolder& draft_backend, Messages messages,
                                              int max_tokens, int k, double temperature,
                                              SpeculativeStats* stats) {
    return speculative_generate_from_backends(
        target_backend, draft_backend, std::move(messages),
        {.max_tokens = max_tokens, .k = k, .temperature = temperature}, stats);
}

TextStream speculative_generate_from_backends(const ModelHolder& target_backend,
                                              const ModelHolder& draft_backend, Messages messages,
                                              SpeculativeOptions options, SpeculativeStats* stats) {
    // Held for the stream's lifetime, whatever the backends load or unload meanwhile.
    const std::shared_ptr<Llama> target = target_backend.model();
    const std::shared_ptr<Llama> draft = draft_backend.model();
    if (!target) {
        throw RuntimeFailure("No model loaded");
    }
    if (!draft) {
        throw RuntimeFailure("No draft model loaded");
    }
    auto pieces = speculative_generate(*target, *draft, std::move(messages), options, stats);
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

}  // namespace kestrune::speculative
