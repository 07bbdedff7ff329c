// LM Studio backend via REST API or lms CLI.
//
// Two channels: LM Studio's OpenAI-compatible server (model list, chat, streamed chat) and
// its command-line program `lms` (version probe, download, load, unload). When neither
// answers, an installation is still recognised by its data directories, and the GGUF files of
// its model cache are listed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/openai_compatible.hpp"
#include "kestrune/core/export.hpp"

namespace kestrune::backends {

// How long each `lms` command may run before it is stopped, and the server time-outs.
struct KESTRUNE_API LMStudioTimeouts {
    std::chrono::milliseconds version{5'000};
    std::chrono::milliseconds probe{3'000};  // the server probe of detect
    std::chrono::milliseconds download{300'000};
    std::chrono::milliseconds load{60'000};
    std::chrono::milliseconds unload{10'000};
    OpenAICompatibleTimeouts server{};
};

class KESTRUNE_API LMStudioBackend : public OpenAICompatibleBackend {
  public:
    explicit LMStudioBackend(const std::string& host = "http://localhost:1234",
                             LMStudioTimeouts timeouts = {});

    std::string name() const override { return "lmstudio"; }

    BackendInfo detect() override;
    // The server's listing; when it fails, the GGUF files of the model cache after whatever
    // the server listed before failing.
    std::vector<ModelEntry> list_models() override;
    // These run `lms`. pull fails when it does (MissingComponentError without it,
    // RuntimeFailure for a time-out or a failed download); load and unload ignore its failures.
    std::string pull(const std::string& model_name,
                     const ProgressCallback& progress_callback = nullptr) override;
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    void unload() override;

    // Where an installation keeps its data, below the home directory.
    static std::vector<std::string> lms_paths();
    // Where an installation keeps downloaded models, below the home directory.
    static std::vector<std::string> cache_dirs();

  private:
    KESTRUNE_LOCAL std::optional<BackendInfo> _probe_cli();
    KESTRUNE_LOCAL std::optional<BackendInfo> _probe_server();
    KESTRUNE_LOCAL std::vector<ModelEntry> _scan_cache() const;

    LMStudioTimeouts _lms_timeouts;
};

}  // namespace kestrune::backends
