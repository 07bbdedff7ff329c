// The engine on the throughput model, through the inference core as every door uses it: prompt
// evaluation, token generation through the one token loop, and the time to the first token of
// a chat's first and second turn (the second reuses the cache).
// bench/compare_llama_bench.sh runs llama-bench beside it.
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

#include "inference/model.hpp"
#include "inference/reply.hpp"
#include "platform/llama/binding.hpp"
#include "platform/os/system.hpp"

namespace {

using kestrune::Messages;
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

std::string bench_model() {
    const char* path = std::getenv("KESTRUNE_BENCH_MODEL");
    return path != nullptr ? path : KESTRUNE_TEST_MODELS_DIR "/throughput.gguf";
}

// The model in the inference core, with its layers on the GPU and the RPC workers asked for.
const std::shared_ptr<kestrune::inference::Model>& core_model() {
    static const auto core = [] {
        std::vector<std::string> endpoints;
        for (const auto& worker : bench_workers()) {
            endpoints.push_back(worker.endpoint);
        }
        return std::make_shared<kestrune::inference::Model>(
            kestrune::inference::ModelOptions{.path = bench_model(),
                                              .n_gpu_layers = bench_gpu_layers(),
                                              .n_threads = bench_threads(),
                                              .rpc_workers = endpoints,
                                              .scheduler = {.parallel = 1,
                                                            .n_ctx = 1024,
                                                            .n_threads = bench_threads(),
                                                            .on_callers_thread = true}});
    }();
    return core;
}

std::vector<Token> prompt_tokens(int count) {
    std::vector<Token> tokens;
    while (static_cast<int>(tokens.size()) < count) {
        const auto sentence =
            core_model()->weights().tokenize("the model reads your prompt and writes an answer.");
        tokens.insert(tokens.end(), sentence.begin(), sentence.end());
    }
    tokens.resize(static_cast<std::size_t>(count));
    return tokens;
}

// Prompt processing with nothing cached, as llama-bench's pp test: the prompt's first token
// alternates, so no iteration reuses the cells of the one before.
void BM_PromptEval(benchmark::State& state) {
    auto tokens = prompt_tokens(kPromptTokens);
    const Token firsts[2] = {tokens[1], tokens[2]};
    int evaluated = 0;
    static int round = 0;
    for (auto _ : state) {
        tokens[0] = firsts[++round % 2];
        auto generation = core_model()->scheduler().submit(
            {.prompt = tokens, .sampling = {.max_tokens = 1, .temperature = 0.0}});
        while (generation->next()) {
        }
        evaluated += generation->summary().evaluated_tokens;
    }
    state.counters["tokens_per_second"] =
        benchmark::Counter(static_cast<double>(evaluated), benchmark::Counter::kIsRate);
    state.counters["threads"] = bench_threads();
}
BENCHMARK(BM_PromptEval)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Token generation through the one token loop (sample, end check, whole characters, one
// decode per token), as llama-bench's tg test. The random weights do not end an answer early.
void BM_Decode(benchmark::State& state) {
    const auto& model = core_model();
    int generated = 0;
    for (auto _ : state) {
        kestrune::inference::Reply reply(
            model,
            kestrune::inference::CompletionRequest{
                .prompt = "the", .sampling = {.max_tokens = kGeneratedTokens, .temperature = 0.0}});
        while (reply.next()) {
        }
        generated += reply.summary().completion_tokens;
    }
    state.counters["tokens_per_second"] =
        benchmark::Counter(static_cast<double>(generated), benchmark::Counter::kIsRate);
    state.counters["threads"] = bench_threads();
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Time to the first piece of a chat turn: turn 1 with nothing cached, turn 2 after turn 1's
// answer, with turn 1's whole conversation in its prompt.
void BM_TimeToFirstToken(benchmark::State& state) {
    const auto& model = core_model();
    const bool second_turn = state.range(0) == 2;
    std::string question;
    for (int i = 0; i < 20; ++i) {
        question += "a long context needs a large cache and more memory. ";
    }
    const Sampling sampling{.max_tokens = 16, .temperature = 0.0};
    static int turn = 0;
    kestrune::inference::GenerationSummary last;
    for (auto _ : state) {
        state.PauseTiming();
        // A question of its own each time: nothing of the last iteration is reused.
        Messages chat{{"user", std::to_string(++turn) + " " + question}};
        if (second_turn) {
            kestrune::inference::Reply first(
                model, kestrune::inference::ChatRequest{.messages = chat, .sampling = sampling});
            chat.emplace_back("assistant", first.rest().content);
            chat.emplace_back("user", "and what does the cache need?");
        }
        state.ResumeTiming();
        auto reply = std::make_unique<kestrune::inference::Reply>(
            model, kestrune::inference::ChatRequest{.messages = chat, .sampling = sampling});
        benchmark::DoNotOptimize(reply->next());
        state.PauseTiming();
        reply->rest();
        last = reply->summary();
        reply.reset();
        state.ResumeTiming();
    }
    state.counters["prompt_tokens_evaluated"] = last.evaluated_tokens;
    state.counters["prompt_tokens"] = last.prompt_tokens;
}
BENCHMARK(BM_TimeToFirstToken)
    ->ArgName("turn")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
