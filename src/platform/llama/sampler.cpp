#include "platform/llama/sampler.hpp"

#include <llama.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::llama {

namespace {

void check_row(std::span<const float> logits, int n_vocab) {
    if (static_cast<int>(logits.size()) != n_vocab) {
        throw InvalidValueError("Logits hold " + std::to_string(logits.size()) +
                                " values for a vocabulary of " + std::to_string(n_vocab));
    }
}

llama_sampler* new_chain() {
    llama_sampler_chain_params params = llama_sampler_chain_default_params();
    params.no_perf = true;
    return llama_sampler_chain_init(params);
}

// What shapes the distribution before a token is picked: the repeat penalty, then above
// temperature 0 top-k, top-p and the temperature. Sampler and TokenDistribution share it, so
// speculative sampling sees the very distribution plain sampling draws from.
void add_shaping(llama_sampler* chain, const Sampling& settings, int n_vocab) {
    if (settings.repeat_penalty != 1.0) {
        llama_sampler_chain_add(
            chain,
            llama_sampler_init_penalties(n_vocab, kPenaltyWindow,
                                         static_cast<float>(settings.repeat_penalty), 0.0F, 0.0F));
    }
    if (settings.temperature <= 0.0) {
        return;
    }
    if (settings.top_k > 0) {
        llama_sampler_chain_add(chain, llama_sampler_init_top_k(settings.top_k));
    }
    llama_sampler_chain_add(chain, llama_sampler_init_top_p(static_cast<float>(settings.top_p), 1));
    llama_sampler_chain_add(chain,
                            llama_sampler_init_temp(static_cast<float>(settings.temperature)));
}

// `chain` applied to one row of logits, through `candidates` (reused between calls).
llama_token_data_array apply(llama_sampler* chain, std::span<const float> logits, int n_vocab,
                             std::vector<llama_token_data>& candidates) {
    check_row(logits, n_vocab);
    candidates.resize(logits.size());
    for (std::size_t i = 0; i < logits.size(); ++i) {
        candidates[i] = {static_cast<Token>(i), logits[i], 0.0F};
    }
    llama_token_data_array array{candidates.data(), candidates.size(), -1, false};
    llama_sampler_apply(chain, &array);
    return array;
}

}  // namespace

void Sampler::Free::operator()(llama_sampler* sampler) const {
    llama_sampler_free(sampler);
}

Sampler::Sampler(const Sampling& settings, const llama_vocab* vocab)
    : n_vocab_(llama_vocab_n_tokens(vocab)) {
    chain_.reset(new_chain());
    add_shaping(chain_.get(), settings, n_vocab_);
    llama_sampler_chain_add(
        chain_.get(), settings.temperature <= 0.0
                          ? llama_sampler_init_greedy()
                          : llama_sampler_init_dist(settings.seed.value_or(LLAMA_DEFAULT_SEED)));
}

Sampler::Sampler(Sampler&&) noexcept = default;
Sampler& Sampler::operator=(Sampler&&) noexcept = default;
Sampler::~Sampler() = default;

Token Sampler::sample(std::span<const float> logits) {
    const llama_token_data_array array = apply(chain_.get(), logits, n_vocab_, candidates_);
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

// ---------------------------------------------------------------------------------------------

void TokenDistribution::Free::operator()(llama_sampler* sampler) const {
    llama_sampler_free(sampler);
}

TokenDistribution::TokenDistribution(const Sampling& settings, const llama_vocab* vocab)
    : n_vocab_(llama_vocab_n_tokens(vocab)) {
    chain_.reset(new_chain());
    add_shaping(chain_.get(), settings, n_vocab_);
    candidates_.reserve(static_cast<std::size_t>(n_vocab_));
}

TokenDistribution::TokenDistribution(TokenDistribution&&) noexcept = default;
TokenDistribution& TokenDistribution::operator=(TokenDistribution&&) noexcept = default;
TokenDistribution::~TokenDistribution() = default;

void TokenDistribution::restart(std::span<const Token> text) {
    llama_sampler_reset(chain_.get());
    for (const Token token : text.last(std::min<std::size_t>(text.size(), kPenaltyWindow))) {
        llama_sampler_accept(chain_.get(), token);
    }
}

void TokenDistribution::accept(Token token) {
    llama_sampler_accept(chain_.get(), token);
}

std::span<const llama_token_data> TokenDistribution::shape(std::span<const float> logits) {
    const llama_token_data_array array = apply(chain_.get(), logits, n_vocab_, candidates_);
    return {array.data, array.size};
}

Token TokenDistribution::likeliest(std::span<const float> logits) {
    const auto shaped = shape(logits);
    // max_element keeps the first of equal values, as the library's greedy sampler does.
    return std::max_element(shaped.begin(), shaped.end(),
                            [](const llama_token_data& a, const llama_token_data& b) {
                                return a.logit < b.logit;
                            })
        ->id;
}

void TokenDistribution::probabilities(std::span<const float> logits, std::vector<float>& out) {
    const auto shaped = shape(logits);
    const float highest =
        std::max_element(
            shaped.begin(), shaped.end(),
            [](const llama_token_data& a, const llama_token_data& b) { return a.logit < b.logit; })
            ->logit;
    out.assign(logits.size(), 0.0F);
    double total = 0.0;
    for (const llama_token_data& candidate : shaped) {
        const double weight = std::exp(static_cast<double>(candidate.logit - highest));
        out[static_cast<std::size_t>(candidate.id)] = static_cast<float>(weight);
        total += weight;
    }
    for (const llama_token_data& candidate : shaped) {
        out[static_cast<std::size_t>(candidate.id)] /= static_cast<float>(total);
    }
}

}  // namespace kestrune::platform::llama
