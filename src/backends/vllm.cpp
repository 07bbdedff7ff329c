#include "kestrune/backends/vllm.hpp"

#include <thread>

#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/os/process.hpp"

namespace kestrune::backends {

namespace process = platform::process;

namespace {

constexpr std::string_view default_port = "8000";
constexpr std::string_view install_hint = "Install: pip install vllm";

// Asks the Python package for its version without importing it (importing vLLM takes
// seconds); exits 1 when the package is not installed.
constexpr const char* library_probe =
    "import importlib.util, importlib.metadata, sys\n"
    "if importlib.util.find_spec('vllm') is None: sys.exit(1)\n"
    "try: print(importlib.metadata.version('vllm'))\n"
    "except Exception: pass\n";

}  // namespace

VLLMBackend::VLLMBackend(const std::string& host, std::chrono::milliseconds startup_wait,
                         VLLMTimeouts timeouts)
    : OpenAICompatibleBackend(host, timeouts.server, BrokenEvents::fail),
      _startup_wait(startup_wait),
      _vllm_timeouts(timeouts) {}

VLLMBackend::VLLMBackend(VLLMBackend&&) noexcept = default;
VLLMBackend& VLLMBackend::operator=(VLLMBackend&&) noexcept = default;
VLLMBackend::~VLLMBackend() = default;

std::string VLLMBackend::_port_of(const std::string& host) {
    std::string_view authority = host;
    if (const auto scheme_end = authority.find("://"); scheme_end != std::string_view::npos) {
        authority.remove_prefix(scheme_end + 3);
    }
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    // An IPv6 address is bracketed and holds colons of its own.
    if (const auto bracket = authority.rfind(']'); bracket != std::string_view::npos) {
        authority.remove_prefix(bracket + 1);
    }
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == authority.size()) {
        return std::string(default_port);
    }
    return std::string(authority.substr(colon + 1));
}

std::optional<std::string> VLLMBackend::_installed_version() {
    try {
        const auto result = process::run({"vllm", "--version"}, _vllm_timeouts.version);
        const std::string version(text::trim_whitespace(result.out));
        return version.empty() ? "installed" : version;
    } catch (const process::ProgramNotFound&) {
    } catch (const process::ProcessTimeout&) {
    }
    return _library_version();
}

// Absent when the package is not installed or no Python runs.
std::optional<std::string> VLLMBackend::_library_version() {
    try {
        const auto result = process::run({"python3", "-c", library_probe}, _vllm_timeouts.library);
        if (result.exit_code != 0) {
            return std::nullopt;
        }
        const std::string version(text::trim_whitespace(result.out));
        return version.empty() ? "installed" : version;
    } catch (const Error&) {
        return std::nullopt;
    }
}

BackendInfo VLLMBackend::detect() {
    const auto version = _installed_version();
    if (!version) {
        return {.name = "vllm",
                .version = "",
                .available = false,
                .details = "vLLM not installed. " + std::string(install_hint)};
    }
    try {
        const int models_count = _listed_model_count(_vllm_timeouts.probe);
        return {.name = "vllm",
                .version = *version,
                .available = true,
                .models_count = models_count,
                .details = "vLLM server at " + _host};
    } catch (const Error&) {
        return {.name = "vllm",
                .version = *version,
                .available = false,
                .details = "vLLM installed (server not running)"};
    }
}

bool VLLMBackend::_already_served(const std::string& model_ref) {
    for (const auto& entry : list_models()) {
        if (entry.name.find(model_ref) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void VLLMBackend::load(const std::string& model_ref, const LoadOptions& options) {
    OpenAICompatibleBackend::load(model_ref, options);
    if (_already_served(model_ref)) {
        return;
    }
    // The server started for an earlier model would otherwise keep holding the GPU.
    _process.reset();
    try {
        _process = std::make_unique<process::Child>(
            process::Child::start({"vllm", "serve", model_ref, "--max-model-len",
                                   std::to_string(options.n_ctx), "--port", _port_of(_host)}));
    } catch (const process::ProgramNotFound&) {
        throw RuntimeFailure("vLLM CLI not found. " + std::string(install_hint));
    }
    std::this_thread::sleep_for(_startup_wait);
}

void VLLMBackend::unload() {
    // Destroying the handle sends SIGTERM and reaps the child.
    _process.reset();
    OpenAICompatibleBackend::unload();
}

}  // namespace kestrune::backends
