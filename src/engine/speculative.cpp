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
#include "platform/llama.hpp"

namespace kestrune::speculative {

namespace {

using platform::llama::Llama;
using platform::llama::Sampler;
using platform::llama::Token;

std::vector<double> softmax(std::span<const float> logits, double temperature) {
    const float highest = *std::max_element(logits.begin(), logits.end());
    std::vector<double> probabilities(logits.size());
    double total = 0.0;
    for (std::size_t i = 0; i < logits.size(); ++i) {
        probabilities[i] = std::exp((static_cast<double>(logits[i]) - highest) / temperature);
        total += probabilities[i];
    }
    for (double& probability : probabilities) {
        probability /= total;
    }
    return probabilities;
}

// Chooses the draft's proposals, the target's verdicts and the target's own tokens: greedily
// at temperature 0 (through the models' own greedy samplers, so ties break as in plain
// generation), otherwise by the speculative sampling rule.
class TokenChooser {
  public:
    TokenChooser(const Llama& target, const Llama& draft, const SpeculativeOptions& options)
        : greedy_(options.temperature <= 0.0),
          temperature_(options.temperature),
          target_greedy_(target.make_sampler({.temperature = 0.0})),
          draft_greedy_(draft.make_sampler({.temperature = 0.0})),
          random_(options.seed.value_or(std::random_device{}())) {}

    void start_round() { proposal_probabilities_.clear(); }

    // The draft's next proposal; its distribution is kept for the verdict.
    Token propose(std::span<const float> draft_logits) {
        if (greedy_) {
            return draft_greedy_.sample(draft_logits);
        }
        proposal_probabilities_.push_back(softmax(draft_logits, temperature_));
        return draw(proposal_probabilities_.back());
    }

    // The target's verdict on the round's proposal `index`: nothing when it is kept, else the
    // token taken in its place.
    std::optional<Token> check(std::span<const float> target_logits, std::size_t index,
                               Token proposal) {
        if (greedy_) {
            const Token own = target_greedy_.sample(target_logits);
            return own == proposal ? std::nullopt : std::optional<Token>(own);
        }
        const std::vector<double> p = softmax(target_logits, temperature_);
        const std::vector<double>& q = proposal_probabilities_.at(index);
        const auto chosen = static_cast<std::size_t>(proposal);
        if (std::uniform_real_distribution<double>(0.0, 1.0)(random_) * q[chosen] < p[chosen]) {
            return std::nullopt;
        }
        std::vector<double> residual(p.size());
        double total = 0.0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            residual[i] = std::max(0.0, p[i] - q[i]);
            total += residual[i];
        }
        // Rounding can leave nothing of the difference; the target's own distribution is then
        // the exact answer.
        return draw(total > 0.0 ? residual : p);
    }

    // The target's own next token.
    Token next(std::span<const float> target_logits) {
        if (greedy_) {
            return target_greedy_.sample(target_logits);
        }
        return draw(softmax(target_logits, temperature_));
    }

  private:
    Token draw(const std::vector<double>& weights) {
        std::discrete_distribution<Token> distribution(weights.begin(), weights.end());
        return distribution(random_);
    }

    bool greedy_;
    double temperature_;
    Sampler target_greedy_;
    Sampler draft_greedy_;
    std::mt19937 random_;
    std::vector<std::vector<double>> proposal_probabilities_;
};

// Brings `llm` to hold every token of `sequence` but the last, evaluating only what it lacks.
void hold_all_but_last(Llama& llm, const std::vector<Token>& sequence) {
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
}

// Up to `count` draft tokens following `sequence`; stops early at an end token.
std::vector<Token> draft_tokens(Llama& draft, const std::vector<Token>& sequence, int count,
                                TokenChooser& chooser) {
    std::vector<Token> proposals;
    draft.evaluate_prompt(sequence);
    while (true) {
        const Token token = chooser.propose(draft.logits());
        proposals.push_back(token);
        if (draft.is_eog(token) || static_cast<int>(proposals.size()) == count) {
            return proposals;
        }
        draft.eval(std::span(&token, 1));
    }
}

// The target evaluates the newest token and the proposals in one batch; returns the
// proposals it keeps followed by its own token (none after a kept end token).
std::vector<Token> verify(Llama& target, const std::vector<Token>& sequence,
                          const std::vector<Token>& proposals, TokenChooser& chooser,
                          SpeculativeStats& counts) {
    std::vector<Token> batch{sequence.back()};
    batch.insert(batch.end(), proposals.begin(), proposals.end());
    hold_all_but_last(target, sequence);
    target.eval(batch, true);
    ++counts.rounds;
    counts.drafted += static_cast<int>(proposals.size());

    std::vector<Token> kept;
    for (std::size_t i = 0; i < proposals.size(); ++i) {
        const auto replacement = chooser.check(target.logits(static_cast<int>(i)), i, proposals[i]);
        if (replacement) {
            kept.push_back(*replacement);
            return kept;
        }
        kept.push_back(proposals[i]);
        ++counts.accepted;
        if (target.is_eog(proposals[i])) {
            return kept;
        }
    }
    kept.push_back(chooser.next(target.logits(static_cast<int>(proposals.size()))));
    return kept;
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
    // The prompt and every token produced; the target has not yet evaluated the last one.
    std::vector<Token> sequence = std::move(prompt);
    if (sequence.empty()) {
        throw InvalidValueError("The prompt holds no token");
    }
    const int limit = options.max_tokens > 0 ? options.max_tokens : INT_MAX;
    std::string pending;  // bytes not yet forming whole characters
    bool ended = false;
    // A full context ends the answer once something was produced (the prompt itself must fit).
    while (!ended && counts.generated < limit &&
           (counts.generated == 0 || static_cast<int>(sequence.size()) <= target.n_ctx())) {
        const int size = static_cast<int>(sequence.size());
        const int count = std::min({options.k, limit - counts.generated - 1, target.n_ctx() - size,
                                    draft.n_ctx() - size + 1});
        chooser.start_round();
        const std::vector<Token> proposals =
            count > 0 ? draft_tokens(draft, sequence, count, chooser) : std::vector<Token>{};

        const std::vector<Token> kept = verify(target, sequence, proposals, chooser, counts);
        for (const Token token : kept) {
            if (target.is_eog(token)) {
                ended = true;
                break;
            }
            sequence.push_back(token);
            ++counts.generated;
            pending += target.token_to_piece(token);
            const std::size_t whole = utf8::complete_prefix(pending);
            if (whole > 0) {
                std::string piece = pending.substr(0, whole);
                pending.erase(0, whole);
                co_yield std::move(piece);
            }
        }
        // Both caches keep only what was accepted; the newest token waits for the next round.
        target.truncate(static_cast<int>(sequence.size()) - 1);
        draft.truncate(static_cast<int>(sequence.size()) - 1);
    }
    if (!pending.empty()) {
        co_yield std::move(pending);
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
    // Held for the stream's lifetime, whatever the backends load or unload meanwhile.
    const std::shared_ptr<Llama> target = target_backend.model();
    const std::shared_ptr<Llama> draft = draft_backend.model();
    if (!target) {
        throw RuntimeFailure("No model loaded");
    }
    if (!draft) {
        throw RuntimeFailure("No draft model loaded");
    }
    auto pieces =
        speculative_generate(*target, *draft, std::move(messages),
                             {.max_tokens = max_tokens, .k = k, .temperature = temperature}, stats);
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

}  // namespace kestrune::speculative
