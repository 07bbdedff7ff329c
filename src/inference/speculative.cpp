// Speculative streams of the public API: a chat on the target's model with the draft's model
// proposing, through the one token loop (inference/speculation holds the drafting).
#include "kestrune/engine/speculative.hpp"

#include <memory>
#include <utility>

#include "inference/model.hpp"
#include "inference/reply.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::engine::speculative {

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
    const std::shared_ptr<inference::Model> target = target_backend.model();
    const std::shared_ptr<inference::Model> draft = draft_backend.model();
    if (!target) {
        throw RuntimeFailure("No model loaded");
    }
    if (!draft) {
        throw RuntimeFailure("No draft model loaded");
    }
    inference::Reply reply(
        target, inference::ChatRequest{
                    .messages = std::move(messages),
                    .sampling = inference::sampling_of(options),
                    .speculation = inference::Speculation{.draft = draft->shared_weights(),
                                                          .k = options.k,
                                                          .adaptive_k = options.adaptive_k}});
    while (auto piece = reply.next()) {
        co_yield std::move(*piece);
    }
    if (stats != nullptr) {
        *stats = inference::speculative_stats(reply.summary());
    }
}

}  // namespace kestrune::engine::speculative
