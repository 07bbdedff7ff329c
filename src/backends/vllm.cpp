#include "kestrune/backends/vllm.hpp"

#include <thread>

#include "backends/openai_compat.hpp"
#include "backends/sse.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/http.hpp"
#include "platform/process.hpp"

namespace kestrune::backends {

namespace process = platform::process;
using namespace std::chrono_literals;

namespace {

constexpr auto version_timeout = 5s;
constexpr auto library_timeout = 10s;
constexpr auto probe_timeout = 3s;
constexpr auto list_timeout = 5s;
constexpr std::string_view default_port = "8000";
constexpr std::string_view install_hint = "Install: pip install vllm";

// The version the Python package reports, without importing it (importing vLLM takes
// seconds); nullopt when the package is not installed or no Python runs.
std::optional<std::string> library_version() {
    static const std::string probe =
        "import importlib.util, importlib.metadata, sys\n"
        "if importlib.util.find_spec('vllm') is None: sys.exit(1)\n"
        "try: print(importlib.metadata.version('vllm'))\n"
        "except Exception: pass\n";
    try {
        const auto result = process::run({"python3", "-c", probe}, library_timeout);
        if (result.exit_code != 0) {
            return std::nullopt;
        }
        const std::string version(text::trim_whitespace(result.out));
        return version.empty() ? "installed" : version;
    } catch (const Error&) {
        return std::nullopt;
    }
}

}  // namespace

VLLMBackend::VLLMBackend(const std::string& host, std::chrono::milliseconds startup_wait)
    : _host(text::strip_trailing_slashes(host)), _startup_wait(startup_wait) {}

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
        const auto result = process::run({"vllm", "--version"}, version_timeout);
        const std::string version(text::trim_whitespace(result.out));
        return version.empty() ? "installed" : version;
    } catch (const process::ProgramNotFound&) {
    } catch (const process::ProcessTimeout&) {
    }
    return library_version();
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
        const Json answer = openai_compat::fetch_models(_host, {}, probe_timeout);
        return {.name = "vllm",
                .version = *version,
                .available = true,
                .models_count = static_cast<int>(openai_compat::models_data(answer).size()),
                .details = "vLLM server at " + _host};
    } catch (const Error&) {
        return {.name = "vllm",
                .version = *version,
                .available = false,
                .details = "vLLM installed (server not running)"};
    }
}

std::vector<ModelEntry> VLLMBackend::list_models() {
    std::vector<ModelEntry> entries;
    try {
        const Json answer = openai_compat::fetch_models(_host, {}, list_timeout);
        openai_compat::append_model_entries(answer, name(), entries);
    } catch (const Error&) {
        return {};
    }
    return entries;
}

std::string VLLMBackend::pull(const std::string& model_name,
                              const ProgressCallback& /*progress_callback*/) {
    return model_name;
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
    _model = model_ref;
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

std::string VLLMBackend::chat(const Messages& messages,
                              const std::optional<GenerationConfig>& config) {
    return openai_compat::chat(_host, openai_compat::json_headers(), _model, messages,
                               config.value_or(GenerationConfig{}));
}

TextStream VLLMBackend::stream(const Messages& messages,
                               const std::optional<GenerationConfig>& config) {
    return openai_compat::stream(_host, openai_compat::json_headers(), _model, messages,
                                 config.value_or(GenerationConfig{}), sse::OnMalformed::fail);
}

void VLLMBackend::unload() {
    // Destroying the handle sends SIGTERM and reaps the child.
    _process.reset();
    _model.clear();
}

}  // namespace kestrune::backends
