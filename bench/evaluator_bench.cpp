// Scoring a 1 MB answer: prose-like words drawn from a fixed vocabulary, with sentence
// punctuation, and the same with non-ASCII letters and white space mixed in.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "kestrune/engine/evaluator.hpp"

namespace {

constexpr std::size_t kAnswerBytes = 1 << 20;

std::string make_answer(bool with_unicode) {
    constexpr std::array<std::string_view, 16> ascii_words{
        "the",   "model",   "answers", "quickly", "and",  "cache", "holds",  "tokens",
        "while", "context", "grows",   "beyond",  "four", "pages", "layers", "Kestrune"};
    constexpr std::array<std::string_view, 4> unicode_words{"Größe", "naïve", "Ωmega", "привет"};
    std::string answer;
    answer.reserve(kAnswerBytes + 16);
    std::uint32_t state = 12345;
    while (answer.size() < kAnswerBytes) {
        state = state * 1664525u + 1013904223u;  // a fixed pseudo-random sequence
        const std::uint32_t pick = state >> 16;
        if (with_unicode && pick % 7 == 0) {
            answer += unicode_words[pick % unicode_words.size()];
        } else {
            answer += ascii_words[pick % ascii_words.size()];
        }
        answer += pick % 11 == 0 ? ". " : (with_unicode && pick % 13 == 0 ? "\u00a0" : " ");
    }
    return answer;
}

void score_answer(benchmark::State& state, bool with_unicode) {
    const std::string answer = make_answer(with_unicode);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrune::evaluator::evaluate_output(answer, "Tell me more"));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(answer.size()));
}

void BM_EvaluateAsciiAnswer(benchmark::State& state) {
    score_answer(state, false);
}
void BM_EvaluateUnicodeAnswer(benchmark::State& state) {
    score_answer(state, true);
}

}  // namespace

BENCHMARK(BM_EvaluateAsciiAnswer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EvaluateUnicodeAnswer)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
