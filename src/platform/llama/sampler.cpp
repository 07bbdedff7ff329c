#include "platform/llama/sampler.hpp"

#include <llama.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
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

// What shapes the distribution before a token is picked: the logit bias and the penalties,
// then above temperature 0 top-k, typical, top-p, min-p and the temperature (llama.cpp's own
// order). Sampler and TokenDistribution share it, so speculative sampling sees the very
// distribution plain sampling draws from.
void add_shaping(llama_sampler* chain, const Sampling& settings, int n_vocab) {
    if (!settings.logit_bias.empty()) {
        std::vector<llama_logit_bias> biases;
        biases.reserve(settings.logit_bias.size());
        for (const auto& [token, bias] : settings.logit_bias) {
            if (token < 0 || token >= n_vocab) {
                throw InvalidValueError("The logit bias names token " + std::to_string(token) +
                                        ", beyond the vocabulary of " + std::to_string(n_vocab));
            }
            biases.push_back({token, bias});
        }
        llama_sampler_chain_add(
            chain, llama_sampler_init_logit_bias(n_vocab, static_cast<std::int32_t>(biases.size()),
                                                 biases.data()));
    }
    const bool penalised = settings.repeat_penalty != 1.0 || settings.presence_penalty != 0.0 ||
                           settings.frequency_penalty != 0.0;
    if (penalised && settings.repeat_last_n != 0) {
        llama_sampler_chain_add(
            chain, llama_sampler_init_penalties(n_vocab, settings.repeat_last_n,
                                                static_cast<float>(settings.repeat_penalty),
                                                static_cast<float>(settings.frequency_penalty),
                                                static_cast<float>(settings.presence_penalty)));
    }
    if (settings.temperature <= 0.0) {
        return;
    }
    if (settings.top_k > 0) {
        llama_sampler_chain_add(chain, llama_sampler_init_top_k(settings.top_k));
    }
    if (settings.typical_p < 1.0) {
        llama_sampler_chain_add(
            chain, llama_sampler_init_typical(static_cast<float>(settings.typical_p), 1));
    }
    llama_sampler_chain_add(chain, llama_sampler_init_top_p(static_cast<float>(settings.top_p), 1));
    if (settings.min_p > 0.0) {
        llama_sampler_chain_add(chain,
                                llama_sampler_init_min_p(static_cast<float>(settings.min_p), 1));
    }
    llama_sampler_chain_add(chain,
                            llama_sampler_init_temp(static_cast<float>(settings.temperature)));
}

// The window the penalties look at, as llama.cpp takes it (it has no "whole context").
int window_of(const Sampling& settings) {
    return std::max(settings.repeat_last_n, 0);
}

// `row` as candidates, every token at its logit.
void fill(std::vector<llama_token_data>& candidates, std::span<const float> row) {
    candidates.resize(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
        candidates[i] = {static_cast<Token>(i), row[i], 0.0F};
    }
}

bool any_left(const llama_token_data_array& array) {
    return std::any_of(array.data, array.data + array.size, [](const llama_token_data& candidate) {
        return candidate.logit != -std::numeric_limits<float>::infinity();
    });
}

Token selected(const llama_token_data_array& array) {
    if (array.selected < 0 || static_cast<std::size_t>(array.selected) >= array.size) {
        throw RuntimeFailure("The sampler selected no token");
    }
    return array.data[array.selected].id;
}

[[noreturn]] void cannot_carry(const std::string& why) {
    throw InvalidValueError("This model's vocabulary cannot carry the grammar: " + why);
}

// `chain` applied to one row of logits, through `candidates` (reused between calls).
llama_token_data_array apply(llama_sampler* chain, std::span<const float> logits, int n_vocab,
                             std::vector<llama_token_data>& candidates) {
    check_row(logits, n_vocab);
    fill(candidates, logits);
    llama_token_data_array array{candidates.data(), candidates.size(), -1, false};
    llama_sampler_apply(chain, &array);
    return array;
}

// `text` spelled one byte a token. The grammar reads text, not tokens, and the tokenizer's own
// tokens for it may begin with a space it adds (SentencePiece): bytes spell it exactly.
std::vector<Token> spelled(const llama_vocab* vocab, const std::string& text) {
    std::array<Token, 256> of_byte{};
    of_byte.fill(-1);
    const int n_vocab = llama_vocab_n_tokens(vocab);
    for (Token token = 0; token < n_vocab; ++token) {
        char piece[8];
        if (llama_token_to_piece(vocab, token, piece, sizeof piece, 0, false) == 1) {
            Token& spelling = of_byte[static_cast<unsigned char>(piece[0])];
            spelling = spelling < 0 ? token : spelling;
        }
    }
    std::vector<Token> tokens;
    for (const char byte : text) {
        const Token token = of_byte[static_cast<unsigned char>(byte)];
        if (token < 0) {
            cannot_carry("it has no token for a byte of the text the grammar begins with");
        }
        tokens.push_back(token);
    }
    return tokens;
}

}  // namespace

void Sampler::Free::operator()(llama_sampler* sampler) const {
    llama_sampler_free(sampler);
}

Sampler::Sampler(const Sampling& settings, const llama_vocab* vocab)
    : n_vocab_(llama_vocab_n_tokens(vocab)), window_(window_of(settings)) {
    chain_.reset(new_chain());
    add_shaping(chain_.get(), settings, n_vocab_);
    llama_sampler_chain_add(
        chain_.get(), settings.temperature <= 0.0
                          ? llama_sampler_init_greedy()
                          : llama_sampler_init_dist(settings.seed.value_or(LLAMA_DEFAULT_SEED)));
    if (settings.grammar.empty()) {
        return;
    }
    grammar_.reset(llama_sampler_init_grammar(vocab, settings.grammar.c_str(), "root"));
    if (!grammar_) {
        throw InvalidValueError(
            "The grammar is not one llama.cpp can parse (GBNF with a rule named root)");
    }
    prefill(vocab, settings.grammar_prefill);
    // A vocabulary that cannot begin the answer is told now, before anything is generated.
    fill(candidates_, std::vector<float>(static_cast<std::size_t>(n_vocab_), 0.0F));
    llama_token_data_array array{candidates_.data(), candidates_.size(), -1, false};
    llama_sampler_apply(grammar_.get(), &array);
    if (!any_left(array)) {
        cannot_carry("no token of it begins an answer the grammar allows");
    }
}

Sampler::Sampler(Sampler&&) noexcept = default;
Sampler& Sampler::operator=(Sampler&&) noexcept = default;
Sampler::~Sampler() = default;

Token Sampler::sample(std::span<const float> logits) {
    Token token = selected(apply(chain_.get(), logits, n_vocab_, candidates_));
    if (grammar_) {
        if (!allowed(token)) {
            token = pick_allowed(logits);
        }
        llama_sampler_accept(grammar_.get(), token);
    }
    llama_sampler_accept(chain_.get(), token);
    return token;
}

void Sampler::prefill(const llama_vocab* vocab, const std::string& text) {
    for (const Token token : spelled(vocab, text)) {
        try {
            llama_sampler_accept(grammar_.get(), token);
        } catch (const std::exception& error) {
            throw InvalidValueError(std::string("The grammar does not begin as the prompt ends: ") +
                                    error.what());
        }
    }
}

bool Sampler::allowed(Token token) {
    llama_token_data single{token, 1.0F, 0.0F};
    llama_token_data_array array{&single, 1, -1, false};
    llama_sampler_apply(grammar_.get(), &array);
    return any_left(array);
}

Token Sampler::pick_allowed(std::span<const float> logits) {
    fill(candidates_, logits);
    llama_token_data_array array{candidates_.data(), candidates_.size(), -1, false};
    llama_sampler_apply(grammar_.get(), &array);
    if (!any_left(array)) {
        cannot_carry("no token of it continues the answer as the grammar allows");
    }
    llama_sampler_apply(chain_.get(), &array);
    return selected(array);
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
    : n_vocab_(llama_vocab_n_tokens(vocab)), window_(window_of(settings)) {
    chain_.reset(new_chain());
    add_shaping(chain_.get(), settings, n_vocab_);
    candidates_.reserve(static_cast<std::size_t>(n_vocab_));
}

TokenDistribution::TokenDistribution(TokenDistribution&&) noexcept = default;
TokenDistribution& TokenDistribution::operator=(TokenDistribution&&) noexcept = default;
TokenDistribution::~TokenDistribution() = default;

void TokenDistribution::restart(std::span<const Token> text) {
    llama_sampler_reset(chain_.get());
    for (const Token token : text.last(std::min<std::size_t>(text.size(), window_))) {
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
