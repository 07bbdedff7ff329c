// What constrained decoding costs per token against free decoding on the same model:
//
//   constrained_bench [rounds] [model...]
//
// For each model (the generated Phi-3 and Qwen2 vocabulary models by default: the grammar is
// checked against every token of the vocabulary whenever it refuses the sampled one, so the
// cost grows with the vocabulary), sampled answers at temperature 1, free and under a JSON
// schema, each round once in turn so that a burst of load spreads over both. The table shows
// the medians of the per-token decode times (the prompt left out) and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "inference/model.hpp"
#include "inference/output_format.hpp"
#include "inference/reply.hpp"

namespace {

constexpr int kThreads = 2;
constexpr int kTokens = 64;
const std::string kModels = KESTRUNE_TEST_MODELS_DIR;
const char* kSchema = R"({"type":"object","properties":{
    "name":{"type":"string","maxLength":40},"age":{"type":"integer","minimum":0,"maximum":120},
    "tags":{"type":"array","items":{"type":"string","maxLength":12},"maxItems":8}},
    "required":["name","age","tags"]})";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Milliseconds per generated token of one sampled answer.
double per_token_ms(const std::shared_ptr<kestrune::inference::Model>& model,
                    const std::string& grammar, std::uint32_t seed) {
    kestrune::inference::Reply reply(
        model,
        kestrune::inference::CompletionRequest{
            .prompt = "A person, as JSON:",
            .sampling = {
                .max_tokens = kTokens, .temperature = 1.0, .seed = seed, .grammar = grammar}});
    reply.rest();
    const auto& summary = reply.summary();
    return std::chrono::duration<double, std::milli>(summary.eval).count() /
           std::max(summary.completion_tokens - 1, 1);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 5;
    std::vector<std::string> models(argv + std::min(argc, 2), argv + argc);
    if (models.empty()) {
        models = {kModels + "/vocab-phi-3.gguf", kModels + "/vocab-qwen2.gguf"};
    }
    const std::string grammar =
        kestrune::inference::output_format::schema_grammar(kestrune::parse_answer(kSchema));
    std::printf("%-40s %12s %12s %8s\n", "model", "free ms/t", "schema ms/t", "ratio");
    for (const std::string& path : models) {
        const auto model = std::make_shared<kestrune::inference::Model>(
            kestrune::inference::ModelOptions{.path = path,
                                              .n_threads = kThreads,
                                              .scheduler = {.parallel = 1,
                                                            .n_ctx = 512,
                                                            .n_threads = kThreads,
                                                            .on_callers_thread = true}});
        std::vector<double> free;
        std::vector<double> constrained;
        for (int round = 0; round < rounds; ++round) {
            const auto seed = static_cast<std::uint32_t>(round + 1);
            free.push_back(per_token_ms(model, "", seed));
            constrained.push_back(per_token_ms(model, grammar, seed));
        }
        const double a = median(free);
        const double b = median(constrained);
        std::printf("%-40s %12.2f %12.2f %8.2f\n", std::filesystem::path(path).filename().c_str(),
                    a, b, b / a);
    }
    return 0;
}
