// The engine on the throughput model: prompt evaluation and token generation through the
// binding's real paths, and the time to the first token of a chat's first and second turn
// (the second reuses the cache). bench/compare_llama_bench.sh runs llama-bench beside it.
//
// KESTRUNE_BENCH_MODEL overrides the model, KESTRUNE_BENCH_THREADS the thread count
// (default: every logical processor), KESTRUNE_BENCH_GPU_LAYERS the layers offloaded to a GPU
// (default: none; -1: every layer), KESTRUNE_BENCH_RPC the RPC workers holding the model's last
// layers, as HOST:PORT=LAYERS,... (bench/compare_rpc.sh gives llama-bench the same split).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/llama/binding.hpp"
#include "platform/os/system.hpp"

namespace {

using kestrune::Messages;
using kestrune::platform::llama::Llama;
using kestrune::platform::llama::Sampling;
using kestrune::platform::llama::Token;

constexpr int kPromptTokens = 512;
constexpr int kGeneratedTokens = 128;

int bench_threads() {
    const char* value = std::getenv("KESTRUNE_BENCH_THREADS");
    return value != nullptr ? std::atoi(value) : kestrune::platform::system::cpu_count();
}

// "host:port=layers,host:port=layers".
std::vector<kestrune::platform::llama::WorkerLayers> bench_workers() {
    std::vector<kestrune::platform::llama::WorkerLayers> workers;
    const char* value = std::getenv("KESTRUNE_BENCH_RPC");
    std::string list = value != nullptr ? value : "";
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, end - start);
        const std::size_t equals = item.find('=');
        workers.push_back(
            {.endpoint = item.substr(0, equals), .n_layers = std::atoi(item.c_str() + equals + 1)});
        start = end + 1;
    }
    return workers;
}

int bench_gpu_layers() {
    const char* value = std::getenv("KESTRUNE_BENCH_GPU_LAYERS");
    return value != nullptr ? std::atoi(value) : 0;
}

Llama& model() {
    static const std::unique_ptr<Llama> llama = [] {
        const char* path = std::getenv("KESTRUNE_BENCH_MODEL");
        return std::make_unique<Llama>(kestrune::platform::llama::Params{
            .model_path = path != nullptr ? path : KESTRUNE_TEST_MODELS_DIR "/throughput.gguf",
            .n_ctx = 1024,
            .n_gpu_layers = bench_gpu_layers(),
            .workers = bench_workers(),
            .n_threads = bench_threads(),
            .verbose = false});
    }();
    return *llama;
}

std::vector<Token> prompt_tokens(Llama& llm, int count) {
    std::vector<Token> tokens;
    while (static_cast<int>(tokens.size()) < count) {
        const auto sentence = llm.tokenize("the model reads your prompt and writes an answer.");
        tokens.insert(tokens.end(), sentence.begin(), sentence.end());
    }
    tokens.resize(static_cast<std::size_t>(count));
    return tokens;
}

// Prompt processing from an empty cache, as llama-bench's pp test.
void BM_PromptEval(benchmark::State& state) {
    Llama& llm = model();
    const auto tokens = prompt_tokens(llm, kPromptTokens);
    for (auto _ : state) {
        state.PauseTiming();
        llm.truncate(0);
        state.ResumeTiming();
        llm.eval(tokens);
    }
    state.counters["tokens_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kPromptTokens), benchmark::Counter::kIsRate);
    state.counters["threads"] = bench_threads();
}
BENCHMARK(BM_PromptEval)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Token generation as the completion loop does it (sample from the last logits, evaluate the
// token, one decode per token), as llama-bench's tg test: from an empty cache, without stopping
// at end tokens.
void BM_Decode(benchmark::State& state) {
    Llama& llm = model();
    const auto first = llm.tokenize("the");
    for (auto _ : state) {
        state.PauseTiming();
        llm.truncate(0);
        llm.eval(first);
        auto sampler = llm.make_sampler(Sampling{.temperature = 0.0});
        state.ResumeTiming();
        for (int i = 0; i < kGeneratedTokens; ++i) {
            const Token token = sampler.sample(llm.logits());
            llm.eval(std::span(&token, 1));
        }
    }
    state.counters["tokens_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kGeneratedTokens), benchmark::Counter::kIsRate);
    state.counters["threads"] = bench_threads();
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Time to the first piece of a chat turn: turn 1 on an empty cache, turn 2 after turn 1's
// answer, with turn 1's whole conversation in its prompt.
void BM_TimeToFirstToken(benchmark::State& state) {
    Llama& llm = model();
    const bool second_turn = state.range(0) == 2;
    std::string question;
    for (int i = 0; i < 20; ++i) {
        question += "a long context needs a large cache and more memory. ";
    }
    const Sampling sampling{.max_tokens = 16, .temperature = 0.0};
    for (auto _ : state) {
        state.PauseTiming();
        llm.truncate(0);
        Messages chat{{"user", question}};
        if (second_turn) {
            chat.emplace_back("assistant", llm.create_chat_completion(chat, sampling).text);
            chat.emplace_back("user", "and what does the cache need?");
        }
        state.ResumeTiming();
        auto stream = llm.create_chat_completion_stream(chat, sampling);
        benchmark::DoNotOptimize(stream.next());
        state.PauseTiming();
        stream = {};
        state.ResumeTiming();
    }
    state.counters["prompt_tokens_evaluated"] = llm.last_prompt_use().evaluated_tokens;
    state.counters["prompt_tokens"] = llm.last_prompt_use().prompt_tokens;
}
BENCHMARK(BM_TimeToFirstToken)
    ->ArgName("turn")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
