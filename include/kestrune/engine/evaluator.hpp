// A quick, model-free quality estimate of a generated answer: repetition, coherence and length
// relative to the prompt, combined into a weighted overall score. Pure text arithmetic.
//
// "Words" are the pieces of a text between runs of white space, where white space is Unicode
// white space (the text is read as UTF-8; a byte that is not valid UTF-8 counts as one
// character). Lower-casing covers ASCII, Latin-1 and the basic Greek and Cyrillic alphabets.
#pragma once

#include <string_view>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::engine::evaluator {

// Quality assessment of generated text.
struct KESTRUNE_API QualityScore {
    double repetition_score = 1.0;
    double coherence_score = 1.0;
    double length_score = 1.0;
    double overall = 1.0;
    // For a scored text: "text_length", "word_count", "sentence_count"; for an empty one:
    // "error".
    JsonValue details;

    bool operator==(const QualityScore&) const = default;
};

// The record as JSON, keys named and ordered as the fields.
KESTRUNE_API void to_json(Json& json, const QualityScore& score);

// Scores `text`, optionally against the `prompt` it answers.
KESTRUNE_API QualityScore evaluate_output(std::string_view text, std::string_view prompt = "");

}  // namespace kestrune::engine::evaluator

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace evaluator = engine::evaluator;
}  // namespace kestrune
