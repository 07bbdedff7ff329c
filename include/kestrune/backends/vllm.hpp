// vLLM inference backend via OpenAI-compatible API.
//
// Talks to a running vLLM server; asked to load a model the server does not serve, it starts
// `vllm serve` itself as a child process and owns it: the child is terminated by unload, by
// the next load that starts another, and when the adapter is destroyed.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/backends/base.hpp"
#include "kestrune/core/export.hpp"
namespace kestrune::platform::process {
class Child;
}

namespace kestrune::backends {

class KESTRUNE_API VLLMBackend : public BackendAdapter {
  public:
    // `startup_wait` is how long load gives a freshly started server before returning.
    explicit VLLMBackend(const std::string& host = "http://localhost:8000",
                         std::chrono::milliseconds startup_wait = std::chrono::seconds(10));
    VLLMBackend(VLLMBackend&&) noexcept;
    VLLMBackend& operator=(VLLMBackend&&) noexcept;
    ~VLLMBackend() override;

    std::string name() const override { return "vllm"; }
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

    // The server this adapter started, or null.
    const platform::process::Child* server_process() const { return _process.get(); }

    // The port of a server address: the one it names, else 8000.
    static std::string _port_of(const std::string& host);

  private:
    std::optional<std::string> _installed_version();
    bool _already_served(const std::string& model_ref);

    std::string _host;
    std::string _model;
    std::unique_ptr<platform::process::Child> _process;
    std::chrono::milliseconds _startup_wait;
};

}  // namespace kestrune::backends
