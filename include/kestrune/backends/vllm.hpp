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

#include "kestrune/backends/openai_compatible.hpp"
#include "kestrune/core/export.hpp"
namespace kestrune::platform::process {
class Child;
}

namespace kestrune::backends {

struct KESTRUNE_API VLLMTimeouts {
    std::chrono::milliseconds version{5'000};   // `vllm --version`
    std::chrono::milliseconds library{10'000};  // asking Python for the installed library
    std::chrono::milliseconds probe{3'000};     // the server probe of detect
    OpenAICompatibleTimeouts server{};
};

class KESTRUNE_API VLLMBackend : public OpenAICompatibleBackend {
  public:
    // `startup_wait` is how long load gives a freshly started server before returning.
    explicit VLLMBackend(const std::string& host = "http://localhost:8000",
                         std::chrono::milliseconds startup_wait = std::chrono::seconds(10),
                         VLLMTimeouts timeouts = {});
    VLLMBackend(VLLMBackend&&) noexcept;
    VLLMBackend& operator=(VLLMBackend&&) noexcept;
    ~VLLMBackend() override;

    std::string name() const override { return "vllm"; }

    BackendInfo detect() override;
    // Starts `vllm serve` unless the server already lists a model whose name holds
    // `model_ref`; a server started for an earlier model is terminated first.
    void load(const std::string& model_ref, const LoadOptions& options = {}) override;
    // Also terminates the server this adapter started.
    void unload() override;

    // The server this adapter started, or null.
    const platform::process::Child* server_process() const { return _process.get(); }

    // The port of a server address: the one it names, else 8000.
    KESTRUNE_LOCAL static std::string _port_of(const std::string& host);

  private:
    KESTRUNE_LOCAL std::optional<std::string> _installed_version();
    KESTRUNE_LOCAL std::optional<std::string> _library_version();
    KESTRUNE_LOCAL bool _already_served(const std::string& model_ref);

    std::unique_ptr<platform::process::Child> _process;
    std::chrono::milliseconds _startup_wait;
    VLLMTimeouts _vllm_timeouts;
};

}  // namespace kestrune::backends
