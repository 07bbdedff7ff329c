// Speculative decoding against plain generation on the generated models, same prompt, same
// threads, one token stream per iteration:
//   - the throughput model (random weights) as target, drafted for by the tiny model: the tiny
//     model's proposals are almost never what the random model picks, so this shows the cost
//     of drafting when little is accepted;
//   - the throughput model drafting for itself: every proposal is accepted, the upper bound of
//     what batched verification gains on this CPU;
//   - the tiny model drafting for itself, sampled (its greedy answer is a few tokens long).
// Counters: tokens_per_s (generated tokens per second of the process's CPU time: the build
// machines are shared, so wall time says little), acceptance (accepted / proposed).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "kestrune/backends/native.hpp"
#include "kestrune/engine/speculative.hpp"
#include "platform/llama.hpp"

namespace {

using kestrune::Messages;
using kestrune::backends::NativeBackend;
namespace speculative = kestrune::speculative;
namespace llama = kestrune::platform::llama;

// One thread: with several, llama.cpp's threads spin at their barriers whenever another
// process takes a core, and that spinning would be counted as work.
constexpr int kThreads = 1;
constexpr int kGreedyTokens = 32;
constexpr int kSampledTokens = 64;
constexpr std::uint32_t kSeed = 1234;
const Messages kQuestion = {{"user", "the cache"}};

struct Models {
    NativeBackend tiny;
    NativeBackend tiny_draft;
    NativeBackend throughput;
    NativeBackend throughput_draft;

    Models() {
        const kestrune::backends::LoadOptions options{.n_ctx = 1024, .n_threads = kThreads};
        tiny.load(KESTRUNE_TEST_MODELS_DIR "/tiny-chat.gguf", options);
        tiny_draft.load(KESTRUNE_TEST_MODELS_DIR "/tiny-chat.gguf", options);
        throughput.load(KESTRUNE_TEST_MODELS_DIR "/throughput.gguf", options);
        throughput_draft.load(KESTRUNE_TEST_MODELS_DIR "/throughput.gguf", options);
    }
};

Models& models() {
    static Models loaded;
    return loaded;
}

void count_tokens(benchmark::State& state, std::int64_t tokens) {
    state.counters["tokens_per_s"] =
        benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}

// The binding's own token loop (the one its streams run), collected so that it reports how
// many tokens it produced.
void plain(benchmark::State& state, NativeBackend& target, int max_tokens, double temperature) {
    std::int64_t tokens = 0;
    for (auto _ : state) {
        const llama::Completion completion = target._llm->create_chat_completion(
            kQuestion, {.max_tokens = max_tokens, .temperature = temperature, .seed = kSeed});
        benchmark::DoNotOptimize(completion.text.data());
        tokens += completion.completion_tokens;
    }
    count_tokens(state, tokens);
}

void drafted(benchmark::State& state, NativeBackend& target, NativeBackend& draft, int max_tokens,
             double temperature) {
    std::int64_t tokens = 0;
    std::int64_t proposed = 0;
    std::int64_t accepted = 0;
    for (auto _ : state) {
        speculative::SpeculativeStats stats;
        kestrune::TextStream stream =
            speculative::speculative_generate(*target._llm, *draft._llm, kQuestion,
                                              {.max_tokens = max_tokens,
                                               .k = static_cast<int>(state.range(0)),
                                               .temperature = temperature,
                                               .seed = kSeed},
                                              &stats);
        while (auto piece = stream.next()) {
            benchmark::DoNotOptimize(piece);
        }
        tokens += stats.generated;
        proposed += stats.drafted;
        accepted += stats.accepted;
    }
    count_tokens(state, tokens);
    state.counters["acceptance"] =
        proposed == 0 ? 0.0 : static_cast<double>(accepted) / static_cast<double>(proposed);
}

void BM_Throughput_Plain(benchmark::State& state) {
    plain(state, models().throughput, kGreedyTokens, 0.0);
}
void BM_Throughput_DraftedByTiny(benchmark::State& state) {
    drafted(state, models().throughput, models().tiny, kGreedyTokens, 0.0);
}
void BM_Throughput_DraftedBySelf(benchmark::State& state) {
    drafted(state, models().throughput, models().throughput_draft, kGreedyTokens, 0.0);
}
void BM_Tiny_PlainSampled(benchmark::State& state) {
    plain(state, models().tiny, kSampledTokens, 0.9);
}
void BM_Tiny_DraftedBySelfSampled(benchmark::State& state) {
    drafted(state, models().tiny, models().tiny_draft, kSampledTokens, 0.9);
}

BENCHMARK(BM_Throughput_Plain)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->MinTime(2.0);
BENCHMARK(BM_Throughput_DraftedByTiny)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->MinTime(2.0);
BENCHMARK(BM_Throughput_DraftedBySelf)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->MinTime(2.0);
BENCHMARK(BM_Tiny_PlainSampled)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Tiny_DraftedBySelfSampled)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
