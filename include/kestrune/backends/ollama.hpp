// Ollama REST API backend adapter: a locally running Ollama server behind the common adapter
// contract. It speaks Ollama's own API (not the OpenAI-compatible one); the server does all
// the inference, and the adapter keeps only the server address and the model in use.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::backends {

// Each bounds establishing the connection and each single wait for data, not a whole exchange.
struct KESTRUNE_API OllamaTimeouts {
    std::chrono::milliseconds request{30'000};
    // Generation may pause longer between pieces than a plain request takes to answer.
    std::chrono::milliseconds stream{120'000};
};

class KESTRUNE_API OllamaBackend : public BackendAdapter {
  public:
    // Trailing "/" of `host` are dropped; endpoint paths are appended to it as they stand.
    explicit OllamaBackend(std::string host = "http://localhost:11434",
                           OllamaTimeouts timeouts = {});

    std::string name() const override { return "ollama"; }
    bool is_loaded() const override { return _loaded && !_model.empty(); }

    // Never fails: anything but a usable version answer reports "not available".
    BackendInfo detect() override;
    // Never fails: anything but a usable listing gives an empty list.
    std::vector<ModelEntry> list_models() override;
    // `model_name` once the server reports exactly "success"; any other answer, an error
    // status or no answer is a RuntimeFailure.
    // `progress_callback` is never called: the server is asked for one final answer.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    // Remembers the model and asks the server to warm it up with `n_ctx`; the warm-up answer
    // is discarded, so an unreachable server still leaves the model marked loaded.
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    // Throws RuntimeFailure, with the server's error text when it sent one, when the server
    // cannot be reached, refuses, or answers JSON of another shape; InvalidValueError when
    // the answer is not JSON. An answer without a message gives empty text.
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config = std::nullopt) override;
    // Sends nothing before the first pull. Failures (unreachable, error status, time-out, a
    // broken connection, a line that is not JSON, an error line) are thrown as RuntimeFailure
    // at the pull where they happen, after the pieces already delivered. Empty lines are
    // skipped; `done` ends the stream.
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config = std::nullopt) override;
    // Forgets the model; the server is not contacted.
    void unload() override;
    BackendStats stats() const override;

    // Internal: one whole exchange under the request time-out. With a non-empty `data` object it
    // POSTs that JSON (unless `method` says otherwise), else it GETs. Absent when the server
    // cannot be reached or answers an error status; a time-out after connecting or a body
    // that is not JSON (InvalidValueError) is thrown.
    KESTRUNE_LOCAL std::optional<Json> _request(const std::string& endpoint);
    KESTRUNE_LOCAL std::optional<Json> _request(
        const std::string& endpoint, const Json& data,
        const std::optional<std::string>& method = std::nullopt);

  private:
    std::string _host;
    OllamaTimeouts _timeouts;
    std::string _model;
    bool _loaded = false;
};

}  // namespace kestrune::backends
