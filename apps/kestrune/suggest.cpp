#include "suggest.hpp"

#include <algorithm>
#include <numeric>

namespace kestrune::cli {

namespace {

// Edits between two words: insertions, deletions, substitutions and swaps of neighbours
// ("lsit" is one edit from "list"), the optimal-string-alignment distance.
std::size_t edit_distance(const std::string& from, const std::string& to) {
    std::vector<std::vector<std::size_t>> d(from.size() + 1,
                                            std::vector<std::size_t>(to.size() + 1));
    for (std::size_t i = 0; i <= from.size(); ++i) {
        d[i][0] = i;
    }
    std::iota(d[0].begin(), d[0].end(), std::size_t{0});
    for (std::size_t i = 1; i <= from.size(); ++i) {
        for (std::size_t j = 1; j <= to.size(); ++j) {
            const std::size_t cost = from[i - 1] == to[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[from.size()][to.size()];
}

}  // namespace

std::optional<std::string> closest_word(const std::string& word,
                                        const std::vector<std::string>& candidates) {
    const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
    std::optional<std::string> best;
    std::size_t best_distance = allowed + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = edit_distance(word, candidate);
        if (distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::vector<std::string> nearest_words(const std::string& word,
                                       const std::vector<std::string>& candidates,
                                       std::size_t count) {
    std::vector<std::pair<std::size_t, std::string>> ranked;
    for (const std::string& candidate : candidates) {
        ranked.emplace_back(edit_distance(word, candidate), candidate);
    }
    std::ranges::stable_sort(ranked, {}, &std::pair<std::size_t, std::string>::first);
    std::vector<std::string> nearest;
    for (std::size_t i = 0; i < std::min(count, ranked.size()); ++i) {
        nearest.push_back(ranked[i].second);
    }
    return nearest;
}

}  // namespace kestrune::cli
