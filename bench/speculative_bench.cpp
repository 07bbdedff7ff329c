// Plain against speculative decoding on the generated target/draft pairs, with llama.cpp's own
// speculative example (llama-speculative-simple, built by scripts/setup --tools) on the same
// pair, side by side:
//
//   speculative_bench [rounds] [tokens] [pair...]
//
// For each pair (pair-50, pair-80 and pair-95 by default; any NAME with NAME-target.gguf and
// NAME-draft.gguf in the models folder, e.g. a larger target from make_draft_pairs): greedy
// plain decoding of the target, speculative decoding at k = 2, 4 and 8 and with adaptive k up
// to 8, and the peer at k = 2, 4 and 8. Every round runs each configuration once, so a burst of
// load from other processes spreads over all of them; the table shows the medians of the
// rounds. Two threads everywhere. Rates leave the prompt out: ours are timed after both models
// hold it, the peer's are its own "decoded … t/s" figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "inference/model.hpp"
#include "inference/reply.hpp"
#include "platform/os/process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 2;
constexpr int kContext = 1024;
constexpr int kAdaptiveMost = 8;
const std::vector<int> kFixedK = {2, 4, 8};
const std::string kPrompt = "you can run a small model on the machine";
const std::string kModels = KESTRUNE_TEST_MODELS_DIR;
const std::string kPeer = KESTRUNE_LLAMA_TOOLS_DIR "/llama-speculative-simple";

struct Measure {
    double tokens_per_s = 0.0;
    double acceptance = -1.0;  // negative: nothing proposed
};

struct Row {
    std::vector<double> rates;
    std::vector<double> acceptances;
};

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using ModelPtr = std::shared_ptr<kestrune::inference::Model>;

ModelPtr load(const std::string& path) {
    return std::make_shared<kestrune::inference::Model>(kestrune::inference::ModelOptions{
        .path = path,
        .n_threads = kThreads,
        .scheduler = {
            .parallel = 1, .n_ctx = kContext, .n_threads = kThreads, .on_callers_thread = true}});
}

// kPrompt continued through the token loop, with `draft` proposing when given.
kestrune::inference::GenerationSummary generate(
    const ModelPtr& target, int tokens, std::optional<kestrune::inference::Speculation> draft) {
    kestrune::inference::Reply reply(
        target, kestrune::inference::CompletionRequest{
                    .prompt = kPrompt,
                    .sampling = {.max_tokens = tokens, .temperature = 0.0, .repeat_penalty = 1.0},
                    .speculation = std::move(draft)});
    while (reply.next()) {
    }
    return reply.summary();
}

Measure plain(const ModelPtr& target, int tokens) {
    // The target's sequence holds the prompt first: only generation is timed.
    generate(target, 1, std::nullopt);
    const auto start = Clock::now();
    const auto summary = generate(target, tokens, std::nullopt);
    return {summary.completion_tokens / seconds_since(start)};
}

Measure drafted(const ModelPtr& target, const ModelPtr& draft, int tokens, int k, bool adaptive) {
    generate(target, 1, std::nullopt);
    const auto start = Clock::now();
    const auto summary =
        generate(target, tokens,
                 kestrune::inference::Speculation{
                     .draft = draft->shared_weights(), .k = k, .adaptive_k = adaptive});
    const auto& counts = summary.speculation;
    return {summary.completion_tokens / seconds_since(start),
            counts.drafted == 0 ? -1.0 : static_cast<double>(counts.accepted) / counts.drafted};
}

double number_after(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? std::stod(match[1]) : -1.0;
}

Measure peer(const std::string& pair, int tokens, int k) {
    const auto result = kestrune::platform::process::run({kPeer,
                                                          "-m",
                                                          kModels + "/" + pair + "-target.gguf",
                                                          "-md",
                                                          kModels + "/" + pair + "-draft.gguf",
                                                          "--spec-type",
                                                          "draft-simple",
                                                          "-p",
                                                          kPrompt,
                                                          "-n",
                                                          std::to_string(tokens),
                                                          "--spec-draft-n-max",
                                                          std::to_string(k),
                                                          "--spec-draft-n-min",
                                                          "0",
                                                          "--spec-draft-p-min",
                                                          "0",
                                                          "-t",
                                                          std::to_string(kThreads),
                                                          "-td",
                                                          std::to_string(kThreads),
                                                          "-c",
                                                          std::to_string(kContext),
                                                          "--temp",
                                                          "0",
                                                          "--seed",
                                                          "1"},
                                                         std::chrono::minutes(5));
    const std::string output = result.out + result.err;
    if (result.exit_code != 0) {
        std::cerr << "llama-speculative-simple failed:\n" << output << "\n";
        return {};
    }
    const double accept = number_after(output, R"(accept\s*=\s*([0-9.]+)%)");
    return {
        number_after(output, R"(decoded\s+\d+ tokens in\s+[0-9.]+ seconds, speed:\s+([0-9.]+))"),
        accept < 0 ? -1.0 : accept / 100.0};
}

void bench_pair(const std::string& pair, int rounds, int tokens, bool with_peer) {
    const ModelPtr target = load(kModels + "/" + pair + "-target.gguf");
    const ModelPtr draft = load(kModels + "/" + pair + "-draft.gguf");
    std::vector<std::pair<std::string, std::function<Measure()>>> configurations = {
        {"plain", [&] { return plain(target, tokens); }}};
    for (const int k : kFixedK) {
        configurations.emplace_back("ours k=" + std::to_string(k),
                                    [&, k] { return drafted(target, draft, tokens, k, false); });
    }
    configurations.emplace_back(
        "ours adaptive<=8", [&] { return drafted(target, draft, tokens, kAdaptiveMost, true); });
    if (with_peer) {
        for (const int k : kFixedK) {
            configurations.emplace_back("peer k=" + std::to_string(k),
                                        [&, k] { return peer(pair, tokens, k); });
        }
    }
    std::map<std::string, Row> rows;
    for (int round = 0; round < rounds; ++round) {
        for (const auto& [name, run] : configurations) {
            const Measure measure = run();
            rows[name].rates.push_back(measure.tokens_per_s);
            if (measure.acceptance >= 0) {
                rows[name].acceptances.push_back(measure.acceptance);
            }
        }
    }
    const double plain_rate = median(rows["plain"].rates);
    for (const auto& [name, run] : configurations) {
        const Row& row = rows[name];
        std::printf("%-8s %-17s %8.1f tok/s  %5.2fx plain", pair.c_str(), name.c_str(),
                    median(row.rates), median(row.rates) / plain_rate);
        if (!row.acceptances.empty()) {
            std::printf("  acceptance %.2f", median(row.acceptances));
        }
        if (name.rfind("ours k=", 0) == 0 && with_peer) {
            const double peer_rate = median(rows["peer" + name.substr(4)].rates);
            std::printf("  %5.2fx peer", median(row.rates) / peer_rate);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::stoi(argv[1]) : 5;
    const int tokens = argc > 2 ? std::stoi(argv[2]) : 64;
    std::vector<std::string> pairs(argv + std::min(argc, 3), argv + argc);
    if (pairs.empty()) {
        pairs = {"pair-50", "pair-80", "pair-95"};
    }
    const bool with_peer = std::filesystem::exists(kPeer);
    if (!with_peer) {
        std::cerr << kPeer << " is missing (scripts/setup --tools builds it): ours only\n";
    }
    std::printf("%d rounds of %d tokens, %d threads, medians\n", rounds, tokens, kThreads);
    for (const std::string& pair : pairs) {
        bench_pair(pair, rounds, tokens, with_peer);
    }
    return 0;
}
