// The evaluator's three checks, each scoring one side of an answer. Not exported: its tests
// reach them here.
#pragma once

#include <string_view>

namespace kestrune::engine::evaluator {

// Share of distinct word n-grams (case-insensitive), scaled so that two-thirds distinct
// already scores 1.0. A negative `n` is an InvalidValueError.
double _check_repetition(std::string_view text, int n = 4);

// Penalises runs of "?" or "!", implausible average word lengths and missing punctuation.
double _check_coherence(std::string_view text);

// Penalises answers that are very short, very long, or out of proportion to the prompt.
double _check_length(std::string_view text, std::string_view prompt);

}  // namespace kestrune::engine::evaluator
