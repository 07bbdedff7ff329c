// Speculative decoding: a small draft model proposes up to k tokens, the target model checks
// them all in one batch, and the longest prefix the target agrees with is kept together with
// the target's own next token; both caches are then trimmed to what was kept. Each round costs
// the target one batched evaluation instead of one evaluation per token.
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
//
// Target and draft must share a vocabulary: their token ids are compared directly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/messages.hpp"
#include "kestrune/core/stream.hpp"

namespace kestrune::inference {
class Model;
}

namespace kestrune::engine::speculative {

// What speculative decoding asks of a backend: the model it holds now, null when none (an
// opaque handle of the inference core). Shared, so a stream keeps its models whatever the
// backend loads or unloads meanwhile.
class KESTRUNE_API ModelHolder {
  public:
    virtual std::shared_ptr<inference::Model> model() const = 0;

  protected:
    ModelHolder() = default;
    ModelHolder(const ModelHolder&) = default;
    ModelHolder(ModelHolder&&) = default;
    ModelHolder& operator=(const ModelHolder&) = default;
    ModelHolder& operator=(ModelHolder&&) = default;
    ~ModelHolder() = default;
};

// Counts of one speculative generation, complete once its stream has ended.
struct KESTRUNE_API SpeculativeStats {
    int rounds = 0;            // draft-and-verify rounds (one target evaluation each)
    int drafted = 0;           // tokens the draft proposed
    int accepted = 0;          // proposals the target kept
    int generated = 0;         // tokens handed out: accepted ones plus the target's own
    int last_k = 0;            // proposals asked for in the last round (adaptive k moves it)
    int prompt_tokens = 0;     // the prompt's size
    int prompt_evaluated = 0;  // of the prompt, tokens the target evaluated (the rest were cached)

    // Share of the proposals the target kept (0 when nothing was proposed).
    double acceptance_rate() const {
        return drafted == 0 ? 0.0 : static_cast<double>(accepted) / drafted;
    }
};

struct KESTRUNE_API SpeculativeOptions {
    int max_tokens = 512;  // at most this many tokens; also ends at an end token or a full context
    int k = 5;             // draft tokens proposed per round (at least 1); with adaptive_k the most
    bool adaptive_k = true;  // start at k, then follow how much of each round the target keeps
    double temperature = 0.0;
    double top_p = 0.95;  // as in plain sampling
    int top_k = 40;
    double repeat_penalty = 1.0;                       // 1: off
    std::optional<std::uint32_t> seed = std::nullopt;  // absent: a random seed
};

// Lazy: nothing runs before the first pull. Answers chat messages, formatted with the target's
// chat template, on two backends' models, taken at the first pull: "No model loaded" when the
// target holds none, "No draft model loaded" when the draft holds none. `stats`, when given,
// must stay alive while the stream is used; it is complete once the stream has ended.
KESTRUNE_API TextStream speculative_generate_from_backends(const ModelHolder& target_backend,
                                                           const ModelHolder& draft_backend,
                                                           Messages messages, int max_tokens = 512,
                                                           int k = 5, double temperature = 0.0,
                                                           SpeculativeStats* stats = nullptr);
// The same with every setting, the sampling ones included.
KESTRUNE_API TextStream speculative_generate_from_backends(const ModelHolder& target_backend,
                                                           const ModelHolder& draft_backend,
                                                           Messages messages,
                                                           SpeculativeOptions options,
                                                           SpeculativeStats* stats = nullptr);

}  // namespace kestrune::engine::speculative

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace speculative = engine::speculative;
}  // namespace kestrune
