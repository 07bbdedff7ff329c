// What the adapters over an OpenAI-compatible server share: the server address, the model to
// ask for, the "/v1/models" listing and "/v1/chat/completions", whole or streamed. Each
// adapter adds how it detects its runtime and what pull, load and unload do besides
// remembering the model.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"

namespace kestrune::backends {

// Each bounds establishing the connection and each single wait for data, not a whole exchange.
struct KESTRUNE_API OpenAICompatibleTimeouts {
    std::chrono::milliseconds list{5'000};
    // A large model may take long to its first token.
    std::chrono::milliseconds chat{120'000};
};

class KESTRUNE_API OpenAICompatibleBackend : public BackendAdapter {
  public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    bool is_loaded() const override { return !_model.empty(); }

    // The server's listing, all or nothing: any failure gives an empty list.
    std::vector<ModelEntry> list_models() override;
    // The server fetches models itself: returns `model_name`; the callback is never called.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    // Remembers the model to ask for; the options are not passed on.
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    // Catches nothing: the http failures, InvalidValueError for a body that is not JSON and
    // RuntimeFailure for an answer of another shape reach the caller.
    std::string chat(const Messages& messages,
                     const std::optional<GenerationConfig>& config = std::nullopt) override;
    // Sends nothing before the first pull; failures are thrown at the pull where they happen.
    TextStream stream(const Messages& messages,
                      const std::optional<GenerationConfig>& config = std::nullopt) override;
    // Forgets the model; the server is not contacted.
    void unload() override { _model.clear(); }
    BackendStats stats() const override { return {.model_name = _model}; }

  protected:
    // What a stream does with an event that is not JSON.
    enum class BrokenEvents { skip, fail };

    // Trailing "/" of `host` are dropped; endpoint paths are appended to it as they stand.
    OpenAICompatibleBackend(const std::string& host, OpenAICompatibleTimeouts timeouts,
                            BrokenEvents broken_events);

    // Headers of the listing (none by default) and of the chat requests (Content-Type). Hooks
    // for subclasses, which may live outside the library: exported, so not internal.
    virtual Headers listing_headers() const;
    virtual Headers chat_headers() const;

    // Appends one entry per listed model to `entries`. Throws on any failure, keeping the
    // entries appended before it.
    KESTRUNE_LOCAL void _append_listed_models(std::vector<ModelEntry>& entries,
                                              std::chrono::milliseconds timeout) const;
    // The number of models the server lists (0 when the answer has no `data`); throws on any
    // failure.
    KESTRUNE_LOCAL int _listed_model_count(std::chrono::milliseconds timeout) const;

    std::string _host;
    std::string _model;
    OpenAICompatibleTimeouts _timeouts;

  private:
    BrokenEvents _broken_events;
};

}  // namespace kestrune::backends
