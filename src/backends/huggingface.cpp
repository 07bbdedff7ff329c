#include "kestrune/backends/huggingface.hpp"

#include <exception>
#include <utility>

#include "kestrune/core/errors.hpp"
#include "platform/python/python.hpp"
#include "registry/hub.hpp"

namespace kestrune::backends {

namespace {

namespace python = platform::python;

const std::string install_hint = "Install with: pip install transformers torch";

// The new assistant message is the last of the conversation the pipeline returns.
std::string reply_content(const Json& result) {
    const Json& conversation = result.at(0).at("generated_text");
    if (!conversation.is_array() || conversation.empty()) {
        throw RuntimeFailure("the pipeline returned no conversation");
    }
    return conversation.back().at("content").get<std::string>();
}

}  // namespace

HuggingFaceBackend::HuggingFaceBackend() = default;
HuggingFaceBackend::HuggingFaceBackend(HuggingFaceBackend&&) noexcept = default;
HuggingFaceBackend& HuggingFaceBackend::operator=(HuggingFaceBackend&&) noexcept = default;
HuggingFaceBackend::~HuggingFaceBackend() = default;

std::string HuggingFaceBackend::name() const {
    return "huggingface";
}

bool HuggingFaceBackend::is_loaded() const {
    return _pipeline != nullptr;
}

BackendInfo HuggingFaceBackend::detect() {
    std::string version;
    try {
        version = python::transformers_version();
    } catch (const MissingComponentError&) {
        return BackendInfo{
            .name = name(), .version = "", .available = false, .details = install_hint};
    }
    return BackendInfo{.name = name(),
                       .version = version,
                       .available = true,
                       .details = "transformers " + version};
}

std::vector<ModelEntry> HuggingFaceBackend::list_models() {
    return {};
}

std::string HuggingFaceBackend::pull(const std::string& model_name, const ProgressCallback&) {
    try {
        return registry::hub::snapshot_download(model_name);
    } catch (const NotFoundError& error) {
        throw NotFoundError("Hugging Face has no model '" + model_name + "': " + error.what());
    } catch (const Error& error) {
        throw RuntimeFailure("Could not pull '" + model_name +
                             "' from Hugging Face: " + error.what());
    }
}

void HuggingFaceBackend::load(const std::string& model_ref, const LoadOptions&) {
    try {
        python::require("transformers");
        python::require("torch");
    } catch (const MissingComponentError&) {
        throw RuntimeFailure(install_hint);
    }
    // Set before the build, so a failed build leaves the new name beside the old pipeline.
    _model_name = model_ref;
    // Half precision only where a GPU makes it pay; CPUs compute it slowly or not at all.
    const auto dtype = python::cuda_available() ? python::Dtype::float16 : python::Dtype::float32;
    _pipeline = std::make_unique<python::TextGenerationPipeline>(
        python::TextGenerationPipeline::create(model_ref, dtype));
}

const platform::python::TextGenerationPipeline& HuggingFaceBackend::_loaded_pipeline() const {
    if (!_pipeline) {
        throw RuntimeFailure("No model loaded");
    }
    return *_pipeline;
}

std::string HuggingFaceBackend::chat(const Messages& messages,
                                     const std::optional<GenerationConfig>& config) {
    const auto& pipeline = _loaded_pipeline();
    const GenerationConfig settings = config.value_or(GenerationConfig{});
    return reply_content(pipeline.call(messages, {.max_new_tokens = settings.max_tokens,
                                                  .temperature = settings.temperature,
                                                  .top_p = settings.top_p,
                                                  .do_sample = settings.temperature > 0}));
}

TextStream HuggingFaceBackend::stream(const Messages& messages,
                                      const std::optional<GenerationConfig>& config) {
    return _stream_pieces(messages, config);
}

TextStream HuggingFaceBackend::_stream_pieces(Messages messages,
                                              std::optional<GenerationConfig> config) {
    bool handed_out = false;
    std::exception_ptr failure;
    try {
        const GenerationConfig settings = config.value_or(GenerationConfig{});
        auto generation = _loaded_pipeline().generate_streamed(messages, settings.max_tokens,
                                                               settings.temperature);
        while (auto piece = generation.next_piece()) {
            if (piece->empty()) {
                continue;
            }
            handed_out = true;
            co_yield std::move(*piece);
        }
        generation.finish();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        co_return;
    }
    // The whole answer after a partial one would repeat what the consumer already has.
    if (handed_out) {
        std::rethrow_exception(failure);
    }
    co_yield chat(messages, config);
}

void HuggingFaceBackend::unload() {
    if (!_pipeline) {
        return;
    }
    _pipeline.reset();
    try {
        python::empty_cuda_cache();
    } catch (const std::exception&) {
        // Freeing the GPU's cache is a courtesy; without torch or a GPU there is none.
    }
}

BackendStats HuggingFaceBackend::stats() const {
    return BackendStats{.model_name = _model_name};
}

}  // namespace kestrune::backends
