#include "kestrune/engine/evaluator.hpp"

#include <gtest/gtest.h>

#include <string>

#include "core/json.hpp"
#include "engine/evaluator_internal.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::engine::evaluator {
namespace {

std::string repeat_words(const std::string& word, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + word;
    }
    return text;
}

TEST(EvaluateOutput, TextWithoutWordsScoresZeroWithAnError) {
    const QualityScore empty{0.0, 0.0, 0.0, 0.0, Json{{"error", "empty output"}}};
    EXPECT_EQ(evaluate_output(""), empty);
    EXPECT_EQ(evaluate_output(" \n\t \r\n"), empty);
    // No-break space, ideographic space and line separator are white space too.
    EXPECT_EQ(evaluate_output("\u00a0\u3000\u2028"), empty);
}

TEST(EvaluateOutput, ScoresAndDetailsOfKnownTexts) {
    const QualityScore hello = evaluate_output("Hello world");
    EXPECT_EQ(hello.repetition_score, 1.0);
    EXPECT_EQ(hello.coherence_score, 0.7);
    EXPECT_EQ(hello.length_score, 0.3);
    EXPECT_EQ(hello.overall, 1.0 * 0.4 + 0.7 * 0.3 + 0.3 * 0.3);
    EXPECT_EQ(hello.details->dump(), R"({"text_length":11,"word_count":2,"sentence_count":0})");

    const QualityScore story =
        evaluate_output("The cat sat on the mat. The dog ran.", "Tell me a story");
    EXPECT_EQ(story,
              (QualityScore{1.0, 1.0, 1.0, 1.0,
                            Json{{"text_length", 36}, {"word_count", 9}, {"sentence_count", 2}}}));

    const QualityScore why = evaluate_output("Why?");
    EXPECT_EQ(why.coherence_score, 0.3);
    EXPECT_DOUBLE_EQ(why.overall, 0.58);

    const QualityScore letters = evaluate_output(repeat_words("a", 10));
    EXPECT_DOUBLE_EQ(letters.repetition_score, 1.5 / 7);
    EXPECT_EQ(letters.coherence_score, 0.5);
    EXPECT_EQ(letters.length_score, 1.0);
    EXPECT_DOUBLE_EQ(letters.overall, 1.5 / 7 * 0.4 + 0.5 * 0.3 + 1.0 * 0.3);
}

TEST(EvaluateOutput, CountsCharactersAndWordsInUnicode) {
    // 7 characters in 14 bytes; the ideographic space separates words.
    const QualityScore score = evaluate_output("éé\u3000ééé!");
    EXPECT_EQ((*score.details)["text_length"], 7);
    EXPECT_EQ((*score.details)["word_count"], 2);
    EXPECT_EQ((*score.details)["sentence_count"], 1);
}

TEST(CheckRepetition, ComparesLowerCasedWordSequencesExactly) {
    EXPECT_EQ(_check_repetition("The the THE the the"), _check_repetition("the the the the the"));
    EXPECT_DOUBLE_EQ(_check_repetition("The the THE", 1), 1.5 / 3);
    EXPECT_DOUBLE_EQ(_check_repetition("ÄRGER ärger Ärger", 1), 1.5 / 3);
    EXPECT_DOUBLE_EQ(_check_repetition("ЁЖ ёж Ёж ΣΟΦΙΑ σοφια", 1), 2 * 1.5 / 5);
    // Joining words without a separator would make ("ab", "c") equal ("a", "bc").
    EXPECT_DOUBLE_EQ(_check_repetition("ab c a bc ab c a bc", 2), 4.0 * 1.5 / 7);
    // Different words in other orders are different n-grams.
    EXPECT_DOUBLE_EQ(_check_repetition("x y x y x y", 2), 2.0 * 1.5 / 5);
    EXPECT_EQ(_check_repetition("one two three four five six"), 1.0);
    EXPECT_EQ(_check_repetition("a a a a"), 1.0);  // fewer than n + 1 words
    EXPECT_THROW(_check_repetition("a a a", -1), InvalidValueError);
}

TEST(CheckCoherence, ThresholdsAreStrict) {
    EXPECT_EQ(_check_coherence("abc efgh?"), 0.3);   // 1 "?" > 9 / 10
    EXPECT_EQ(_check_coherence("abcd efgh?"), 1.0);  // 1 "?" = 10 / 10 falls through
    EXPECT_EQ(_check_coherence("abcd efgh!"), 1.0);
    EXPECT_EQ(_check_coherence("abc efgh!"), 0.3);
    // The tenth is of characters, not bytes: 7 characters in 12 bytes.
    EXPECT_EQ(_check_coherence("ééééé ?"), 0.3);

    EXPECT_EQ(_check_coherence("a bc"), 0.5);                      // average 1.5
    EXPECT_EQ(_check_coherence("ab cd ef"), 0.7);                  // exactly 2
    EXPECT_EQ(_check_coherence(std::string(15, 'x') + "."), 0.5);  // 16 characters
    EXPECT_EQ(_check_coherence(std::string(14, 'x') + "."), 1.0);  // exactly 15
    EXPECT_EQ(_check_coherence("ééééééééééééééé"), 0.7);           // 15 characters, 30 bytes
    EXPECT_EQ(_check_coherence("   "), 0.0);
}

TEST(CheckLength, ThresholdsAreStrict) {
    EXPECT_EQ(_check_length("two words", ""), 0.3);
    EXPECT_EQ(_check_length("three words here", "a b c d e f"), 1.0);
    const std::string long_prompt = repeat_words("p", 1000);
    EXPECT_EQ(_check_length(repeat_words("w", 2000), long_prompt), 1.0);
    EXPECT_EQ(_check_length(repeat_words("w", 2001), long_prompt), 0.7);
    // Against the default prompt size of 10: 4 words are below half, 5 exactly half.
    EXPECT_EQ(_check_length(repeat_words("w", 4), ""), 0.5);
    EXPECT_EQ(_check_length(repeat_words("w", 5), ""), 1.0);
    // A one-word prompt: exactly 100 times passes, 101 times is too long.
    EXPECT_EQ(_check_length(repeat_words("w", 100), "Hi"), 1.0);
    EXPECT_EQ(_check_length(repeat_words("w", 101), "Hi"), 0.7);
    // A prompt of white space counts as one word, not as the default 10.
    EXPECT_EQ(_check_length(repeat_words("w", 101), "  "), 0.7);
}

}  // namespace
}  // namespace kestrune::engine::evaluator
