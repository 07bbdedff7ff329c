#include "platform/sampler.hpp"

#include <llama.h>

#include <string>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::llama {

void Sampler::Free::operator()(llama_sampler* sampler) const {
    llama_sampler_free(sampler);
}

Sampler::Sampler(const Sampling& settings, const llama_vocab* vocab)
    : n_vocab_(llama_vocab_n_tokens(vocab)) {
    llama_sampler_chain_params params = llama_sampler_chain_default_params();
    params.no_perf = true;
    chain_.reset(llama_sampler_chain_init(params));
    auto add = [this](llama_sampler* sampler) { llama_sampler_chain_add(chain_.get(), sampler); };
    if (settings.repeat_penalty != 1.0) {
        add(llama_sampler_init_penalties(n_vocab_, 64, static_cast<float>(settings.repeat_penalty),
                                         0.0F, 0.0F));
    }
    if (settings.temperature <= 0.0) {
        add(llama_sampler_init_greedy());
        return;
    }
    if (settings.top_k > 0) {
        add(llama_sampler_init_top_k(settings.top_k));
    }
    add(llama_sampler_init_top_p(static_cast<float>(settings.top_p), 1));
    add(llama_sampler_init_temp(static_cast<float>(settings.temperature)));
    add(llama_sampler_init_dist(settings.seed));
}

Sampler::Sampler(Sampler&&) noexcept = default;
Sampler& Sampler::operator=(Sampler&&) noexcept = default;
Sampler::~Sampler() = default;

Token Sampler::sample(std::span<const float> logits) {
    if (static_cast<int>(logits.size()) != n_vocab_) {
        throw InvalidValueError("Logits hold " + std::to_string(logits.size()) +
                                " values for a vocabulary of " + std::to_string(n_vocab_));
    }
    candidates_.resize(logits.size());
    for (std::size_t i = 0; i < logits.size(); ++i) {
        candidates_[i] = {static_cast<Token>(i), logits[i], 0.0F};
    }
    llama_token_data_array array{candidates_.data(), candidates_.size(), -1, false};
    llama_sampler_apply(chain_.get(), &array);
    if (array.selected < 0 || static_cast<std::size_t>(array.selected) >= array.size) {
        throw RuntimeFailure("The sampler selected no token");
    }
    const Token token = array.data[array.selected].id;
    llama_sampler_accept(chain_.get(), token);
    return token;
}

void Sampler::accept(std::span<const Token> tokens) {
    for (const Token token : tokens) {
        llama_sampler_accept(chain_.get(), token);
    }
}

}  // namespace kestrune::platform::llama
