#include "kestrune/engine/evaluator.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/utf8.hpp"
#include "engine/evaluator_internal.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::engine::evaluator {

namespace {

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes taken in the text
};

// Bad bytes are counted here, never replaced: each is one character (U+FFFD) of its own, as
// evaluator.hpp promises, rather than one per ill-formed run, so garbage weighs by its length.
CodePoint decode_at(std::string_view text, std::size_t pos) {
    const utf8::Decoded c = utf8::decode(text, pos);
    return {c.code, c.valid ? c.length : 1};
}

// ASCII white space (the information separators U+001C-U+001F included) and the Unicode
// space, line and paragraph separators. Inlined: it runs once per character.
[[gnu::always_inline]] inline bool is_white_space(char32_t c) {
    if (c <= 0x20) {
        return c == 0x20 || (c >= 0x09 && c <= 0x0D) || c >= 0x1C;
    }
    return c >= 0x85 && (c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
                         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000);
}

// Every capital mapped here and its small letter take two bytes in UTF-8.
char32_t to_lower(char32_t c) {
    if (c < 0x80) {
        return c >= 'A' && c <= 'Z' ? c + 0x20 : c;
    }
    const bool latin1_capital = c >= 0xC0 && c <= 0xDE && c != 0xD7;
    const bool greek_capital = c >= 0x391 && c <= 0x3AB && c != 0x3A2;
    const bool cyrillic_capital = c >= 0x410 && c <= 0x42F;
    if (latin1_capital || greek_capital || cyrillic_capital) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {
        return c + 0x50;
    }
    return c;
}

CodePoint character_at(std::string_view text, std::size_t pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    return byte < 0x80 ? CodePoint{byte, 1} : decode_at(text, pos);
}

// Lower-cases in place: the mapped letters keep their encoded length, and bytes that are
// not UTF-8 stay as they are, distinct from each other.
std::string lower_case(std::string_view text) {
    std::string lowered(text);
    for (std::size_t pos = 0; pos < lowered.size();) {
        const auto byte = static_cast<unsigned char>(lowered[pos]);
        if (byte < 0x80) {
            lowered[pos] = static_cast<char>(to_lower(byte));
            ++pos;
            continue;
        }
        const CodePoint c = decode_at(lowered, pos);
        if (const char32_t lower = to_lower(c.value); lower != c.value) {
            utf8::encode(lower, &lowered[pos]);
        }
        pos += c.length;
    }
    return lowered;
}

// Calls visit(word, characters_in_word) for each word in order; returns the number of
// characters of the whole text.
template <typename Visit>
std::size_t for_each_word(std::string_view text, Visit&& visit) {
    std::size_t characters = 0;
    std::size_t start = 0;
    std::size_t in_word = 0;  // characters of the word being read
    for (std::size_t pos = 0; pos < text.size(); ++characters) {
        const CodePoint c = character_at(text, pos);
        if (is_white_space(c.value)) {
            if (in_word > 0) {
                visit(text.substr(start, pos - start), in_word);
                in_word = 0;
            }
        } else if (in_word++ == 0) {
            start = pos;
        }
        pos += c.length;
    }
    if (in_word > 0) {
        visit(text.substr(start), in_word);
    }
    return characters;
}

struct TextCounts {
    std::size_t characters = 0;  // of the whole text, white space included
    std::size_t words = 0;
    std::size_t word_characters = 0;  // of the words only
};

TextCounts count_text(std::string_view text) {
    TextCounts counts;
    counts.characters = for_each_word(text, [&](std::string_view, std::size_t characters) {
        ++counts.words;
        counts.word_characters += characters;
    });
    return counts;
}

double coherence_of(std::string_view text, const TextCounts& counts) {
    const double tenth = static_cast<double>(counts.characters) / 10;
    const auto questions = static_cast<double>(std::count(text.begin(), text.end(), '?'));
    const auto exclamations = static_cast<double>(std::count(text.begin(), text.end(), '!'));
    if (questions > tenth || exclamations > tenth) {
        return 0.3;
    }
    if (counts.words == 0) {
        return 0.0;
    }
    const double average =
        static_cast<double>(counts.word_characters) / static_cast<double>(counts.words);
    if (average < 2 || average > 15) {
        return 0.5;
    }
    return text.find_first_of(".!?") != std::string_view::npos ? 1.0 : 0.7;
}

double length_of(std::size_t words, std::string_view prompt) {
    if (words < 3) {
        return 0.3;
    }
    if (words > 2000) {
        return 0.7;
    }
    const std::size_t prompt_size =
        prompt.empty() ? 10 : std::max<std::size_t>(1, count_text(prompt).words);
    const double ratio = static_cast<double>(words) / static_cast<double>(prompt_size);
    if (ratio < 0.5) {
        return 0.5;
    }
    if (ratio > 100) {
        return 0.7;
    }
    return 1.0;
}

// For each of `count` items, the index of the first item equal to it, found through an
// open-addressing table of first occurrences (at most half full).
template <typename Hash, typename Equal>
std::vector<std::uint32_t> first_occurrences(std::size_t count, Hash&& hash, Equal&& equal) {
    constexpr std::uint32_t kFree = UINT32_MAX;
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(count * 2, 16));
    const std::size_t mask = capacity - 1;
    std::vector<std::uint32_t> table(capacity, kFree);
    std::vector<std::uint32_t> first(count);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t slot = hash(i) & mask;; slot = (slot + 1) & mask) {
            if (table[slot] == kFree) {
                table[slot] = static_cast<std::uint32_t>(i);
                first[i] = static_cast<std::uint32_t>(i);
                break;
            }
            if (equal(table[slot], i)) {
                first[i] = table[slot];
                break;
            }
        }
    }
    return first;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}

std::uint64_t hash_bytes(std::string_view bytes) {
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (const char byte : bytes) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001B3ull;
    }
    return mix(hash, bytes.size());
}

// Each word as a number; equal words get equal numbers.
std::vector<std::uint32_t> word_ids(std::string_view text) {
    std::vector<std::string_view> words;
    for_each_word(text, [&](std::string_view word, std::size_t) { words.push_back(word); });
    return first_occurrences(
        words.size(), [&](std::size_t i) { return hash_bytes(words[i]); },
        [&](std::size_t a, std::size_t b) { return words[a] == words[b]; });
}

// Distinct sequences of `n` consecutive words, compared word by word.
std::size_t count_distinct_ngrams(const std::vector<std::uint32_t>& words, std::size_t n) {
    const std::size_t total = words.size() - n + 1;
    const auto first = first_occurrences(
        total,
        [&](std::size_t i) {
            std::uint64_t hash = 0;
            for (std::size_t k = 0; k < n; ++k) {
                hash = mix(hash, words[i + k]);
            }
            return hash;
        },
        [&](std::size_t a, std::size_t b) {
            return std::equal(words.begin() + static_cast<std::ptrdiff_t>(a),
                              words.begin() + static_cast<std::ptrdiff_t>(a + n),
                              words.begin() + static_cast<std::ptrdiff_t>(b));
        });
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < total; ++i) {
        distinct += first[i] == i ? 1 : 0;
    }
    return distinct;
}

}  // namespace

QualityScore evaluate_output(std::string_view text, std::string_view prompt) {
    const TextCounts counts = count_text(text);
    if (counts.words == 0) {
        return QualityScore{0.0, 0.0, 0.0, 0.0, Json{{"error", "empty output"}}};
    }
    QualityScore score;
    score.repetition_score = _check_repetition(text);
    score.coherence_score = coherence_of(text, counts);
    score.length_score = length_of(counts.words, prompt);
    score.overall =
        score.repetition_score * 0.4 + score.coherence_score * 0.3 + score.length_score * 0.3;
    const auto sentence_marks = std::count_if(
        text.begin(), text.end(), [](char c) { return c == '.' || c == '!' || c == '?'; });
    score.details = Json{{"text_length", counts.characters},
                         {"word_count", counts.words},
                         {"sentence_count", sentence_marks}};
    return score;
}

double _check_repetition(std::string_view text, int n) {
    if (n < 0) {
        throw InvalidValueError("n must not be negative");
    }
    const std::string lowered = lower_case(text);
    const std::vector<std::uint32_t> words = word_ids(lowered);
    const auto gram_length = static_cast<std::size_t>(n);
    if (words.size() < gram_length + 1) {
        return 1.0;
    }
    const std::size_t total = words.size() - gram_length + 1;
    const double ratio =
        static_cast<double>(count_distinct_ngrams(words, gram_length)) / static_cast<double>(total);
    const double scaled = ratio * 1.5;
    return scaled < 1.0 ? scaled : 1.0;
}

double _check_coherence(std::string_view text) {
    return coherence_of(text, count_text(text));
}

double _check_length(std::string_view text, std::string_view prompt) {
    return length_of(count_text(text).words, prompt);
}

void to_json(Json& json, const QualityScore& score) {
    json = {{"repetition_score", score.repetition_score},
            {"coherence_score", score.coherence_score},
            {"length_score", score.length_score},
            {"overall", score.overall},
            {"details", *score.details}};
}

}  // namespace kestrune::engine::evaluator
