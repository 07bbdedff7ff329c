// LM Studio backend via REST API or lms CLI.
//
// Two channels: LM Studio's OpenAI-compatible server (model list, chat, streamed chat) and
// its command-line program `lms` (version probe, download, load, unload). When neither
// answers, an installation is still recognised by its data directories, and the GGUF files of
// its model cache are listed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"

namespace kestrune::backends {

class KESTRUNE_API LMStudioBackend : public BackendAdapter {
  public:
    explicit LMStudioBackend(const std::string& host = "http://localhost:1234");

    std::string name() const override { return "lmstudio"; }
    bool is_loaded() const override { return !_model.empty(); }

    BackendInfo detect() override;
    std::vector<ModelEntry> list_models() override;
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config = std::nullopt) override;
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config = std::nullopt) override;
    void unload() override;
    BackendStats stats() const override { return {.model_name = _model}; }

    // Where an installation keeps its data, below the home directory.
    static std::vector<std::string> lms_paths();
    // Where an installation keeps downloaded models, below the home directory.
    static std::vector<std::string> cache_dirs();

  private:
    std::optional<BackendInfo> _probe_cli();
    std::optional<BackendInfo> _probe_server();
    std::vector<ModelEntry> _scan_cache() const;

    std::string _host;
    std::string _model;
};

}  // namespace kestrune::backends
