// HuggingFaceBackend: runs a model in-process through the transformers text-generation
// pipeline (embedded Python), with weights from the Hugging Face hub or a local directory.
// The Python libraries are looked for at the moment of use, so the adapter can be created and
// probed without them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/platform/python.hpp"

namespace kestrune::backends {

class HuggingFaceBackend : public BackendAdapter {
  public:
    HuggingFaceBackend() = default;

    std::string name() const override;
    bool is_loaded() const override;

    BackendInfo detect() override;
    std::vector<ModelEntry> list_models() override;
    // The local directory of the downloaded repository, or `model_name` unchanged on failure.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    // Only the model reference matters: the context length is the model's own.
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config = std::nullopt) override;
    // Generation runs on a thread of its own, started at the first pull. Dropping the stream
    // early stops generation and waits for the thread. When generation cannot start or fails
    // before any piece was handed out, the stream yields the whole chat answer instead; a
    // failure after that reaches the consumer.
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config = std::nullopt) override;
    void unload() override;
    BackendStats stats() const override;

  private:
    TextStream _stream_pieces(Messages messages, std::optional<GenerationConfig> config);
    const platform::python::TextGenerationPipeline& _loaded_pipeline() const;

    std::optional<platform::python::TextGenerationPipeline> _pipeline;
    std::string _model_name;
};

}  // namespace kestrune::backends
