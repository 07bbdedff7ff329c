// Generic OpenAI-compatible API backend.
//
// Any server speaking the OpenAI-compatible chat API. The server holds and runs the models;
// the adapter keeps its address, an optional API key and the model to ask for. The key goes
// only into the Authorization header, never into a message text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"

namespace kestrune::backends {

class KESTRUNE_API RemoteBackend : public BackendAdapter {
  public:
    explicit RemoteBackend(const std::string& host = "http://localhost:8080",
                           const std::string& api_key = "");

    std::string name() const override { return "remote"; }
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
    void unload() override { _model.clear(); }
    BackendStats stats() const override { return {.model_name = _model}; }

    // The headers of every request: Content-Type, and Authorization when a key is set.
    std::vector<std::pair<std::string, std::string>> _headers() const;

  private:
    std::string _host;
    std::string _api_key;
    std::string _model;
};

}  // namespace kestrune::backends
