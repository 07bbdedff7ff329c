// The build without Python: every package is missing.
#include <utility>

#include "platform/python/python.hpp"

namespace kestrune::platform::python {

// Nothing can be present, so there is nothing to simulate away.
SimulatedAbsence::SimulatedAbsence() = default;
SimulatedAbsence::~SimulatedAbsence() = default;

namespace {

[[noreturn]] void without_python(const std::string& package) {
    throw MissingComponentError("Python package " + package +
                                " cannot be used: Kestrune was built without Python support");
}

}  // namespace

bool compiled_in() {
    return false;
}

void prepend_module_path(const std::string&) {}

void require(const std::string& package) {
    without_python(package);
}

Json ddgs_text(const std::string&, long long) {
    without_python("duckduckgo_search");
}

std::string transformers_version() {
    without_python("transformers");
}

bool cuda_available() {
    without_python("torch");
}

void empty_cuda_cache() {
    without_python("torch");
}

struct TextGenerationPipeline::State {};
struct Generation::State {};

TextGenerationPipeline TextGenerationPipeline::create(const std::string&, Dtype) {
    without_python("transformers");
}

Json TextGenerationPipeline::call(const Messages&, const PipelineCall&) const {
    without_python("transformers");
}

Generation TextGenerationPipeline::generate_streamed(const Messages&, int, double) const {
    without_python("transformers");
}

std::optional<std::string> Generation::next_piece() {
    return std::nullopt;
}

void Generation::finish() {}

TextGenerationPipeline::TextGenerationPipeline(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
TextGenerationPipeline::TextGenerationPipeline(TextGenerationPipeline&&) noexcept = default;
TextGenerationPipeline& TextGenerationPipeline::operator=(TextGenerationPipeline&&) noexcept =
    default;
TextGenerationPipeline::~TextGenerationPipeline() = default;

Generation::Generation(std::unique_ptr<State> state) : state_(std::move(state)) {}
Generation::Generation(Generation&&) noexcept = default;
Generation& Generation::operator=(Generation&&) noexcept = default;
Generation::~Generation() = default;

}  // namespace kestrune::platform::python
