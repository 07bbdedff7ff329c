// "Did you mean …": the known words closest to a mistyped one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrune::cli {

// The candidate with the fewest single-character edits from `word`, when that is close enough
// to be a typo (at most a third of the word's length, and at least one edit allowed).
std::optional<std::string> closest_word(const std::string& word,
                                        const std::vector<std::string>& candidates);

// Up to `count` candidates, fewest edits from `word` first (ties in the candidates' order).
std::vector<std::string> nearest_words(const std::string& word,
                                       const std::vector<std::string>& candidates,
                                       std::size_t count);

}  // namespace kestrune::cli
