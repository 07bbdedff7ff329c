// "Did you mean …": the known word closest to a mistyped one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrune::cli {

// The candidate with the fewest single-character edits from `word`, when that is close enough
// to be a typo (at most a third of the word's length, and at least one edit allowed).
std::optional<std::string> closest_word(const std::string& word,
                                        const std::vector<std::string>& candidates);

}  // namespace kestrune::cli
