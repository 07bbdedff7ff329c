#include <exception>
#include <string>
#include <utility>

#include "core/output.hpp"
#include "core/text.hpp"
#include "inference/model.hpp"
#include "inference/reply.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/backend.hpp"
#include "kestrune/engine/modelcheck.hpp"
#include "platform/llama/binding.hpp"

namespace kestrune::engine {

namespace {

constexpr const char* kMissingBinding =
    "llama.cpp not installed. Install with:\n"
    "  scripts/setup (builds llama.cpp's libllama), then rebuild Kestrune\n"
    "For CUDA: KESTRUNE_CUDA=1 scripts/setup (libllama with CUDA), then rebuild Kestrune";

platform::llama::Sampling sampling(int max_tokens, double temperature) {
    platform::llama::Sampling settings;
    settings.max_tokens = max_tokens;
    settings.temperature = temperature;
    return settings;
}

}  // namespace

KestruneBackend::KestruneBackend(std::string model_path_, InferencePlan plan_, HardwareProfile hw_,
                                 ModelSpec spec_)
    : model_path(std::move(model_path_)), plan(plan_), hw(hw_), spec(std::move(spec_)) {}

KestruneBackend::KestruneBackend(KestruneBackend&&) noexcept = default;
KestruneBackend& KestruneBackend::operator=(KestruneBackend&&) noexcept = default;
KestruneBackend::~KestruneBackend() = default;

void KestruneBackend::load(bool verbose) {
    try {
        platform::llama::require_binding();
    } catch (const platform::llama::BindingMissing&) {
        std::throw_with_nested(MissingComponentError(kMissingBinding));
    }
    if (verbose) {
        const char* mode = plan.n_gpu_layers > 0 ? "GPU+CPU" : "CPU-only";
        output::print("  Loading " + text::escape_controls(spec.name) + " (" + mode + ")...\n" +
                      "  Layers: " + std::to_string(plan.n_gpu_layers) + " GPU + " +
                      std::to_string(plan.n_cpu_layers) + " CPU\n" +
                      "  Context: " + text::with_thousands_separator(plan.max_context) +
                      " tokens\n" + "  Threads: " + std::to_string(hw.cpu_cores) + "\n");
    }
    _llm = std::make_shared<inference::Model>(
        inference::ModelOptions{.path = model_path,
                                .n_gpu_layers = plan.n_gpu_layers,
                                .n_threads = hw.cpu_cores,
                                .scheduler = {.parallel = 1,
                                              .n_ctx = plan.max_context,
                                              .n_threads = hw.cpu_cores,
                                              .on_callers_thread = true},
                                .verbose = verbose});
    if (verbose) {
        output::print("  Model loaded.\n\n");
    }
}

TextOrStream KestruneBackend::chat(const std::string& prompt, int max_tokens, double temperature,
                                   bool stream) {
    if (!_llm) {
        load();
    }
    Messages messages{{"user", prompt}};
    if (stream) {
        return _chat_stream(std::move(messages), max_tokens, temperature);
    }
    return inference::Reply(_llm,
                            inference::ChatRequest{.messages = std::move(messages),
                                                   .sampling = sampling(max_tokens, temperature)})
        .rest()
        .content;
}

TextStream KestruneBackend::_chat_stream(Messages messages, int max_tokens, double temperature) {
    // Held for the whole stream: a load meanwhile replaces _llm, not the model read here.
    const std::shared_ptr<inference::Model> model = _llm;
    if (!model) {
        throw RuntimeFailure("No model loaded");
    }
    inference::Reply reply(model,
                           inference::ChatRequest{.messages = std::move(messages),
                                                  .sampling = sampling(max_tokens, temperature)});
    while (auto delta = reply.next_delta()) {
        if (!delta->content.empty()) {
            co_yield std::move(delta->content);
        }
    }
}

std::string KestruneBackend::complete(const std::string& prompt, int max_tokens,
                                      double temperature) {
    if (!_llm) {
        load();
    }
    return inference::Reply(
               _llm, inference::CompletionRequest{.prompt = prompt,
                                                  .sampling = sampling(max_tokens, temperature)})
        .rest()
        .content;
}

}  // namespace kestrune::engine
