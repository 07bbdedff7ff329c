// HuggingFaceBackend: runs a model in-process through the transformers text-generation
// pipeline (embedded Python), with weights from the Hugging Face hub or a local directory.
// The Python libraries are looked for at the moment of use, so the adapter can be created and
// probed without them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"
namespace kestrune::platform::python {
class TextGenerationPipeline;
}

namespace kestrune::backends {

class KESTRUNE_API HuggingFaceBackend : public BackendAdapter {
  public:
    HuggingFaceBackend();
    HuggingFaceBackend(HuggingFaceBackend&&) noexcept;
    HuggingFaceBackend& operator=(HuggingFaceBackend&&) noexcept;
    ~HuggingFaceBackend() override;

    std::string name() const override;
    bool is_loaded() const override;

    BackendInfo detect() override;
    std::vector<ModelEntry> list_models() override;
    // The local directory of the downloaded repository. A repository the hub does not have is
    // a NotFoundError, any other failure a RuntimeFailure.
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
    KESTRUNE_LOCAL TextStream _stream_pieces(Messages messages,
                                             std::optional<GenerationConfig> config);
    KESTRUNE_LOCAL const platform::python::TextGenerationPipeline& _loaded_pipeline() const;

    std::unique_ptr<platform::python::TextGenerationPipeline> _pipeline;
    std::string _model_name;
};

}  // namespace kestrune::backends
