#include "kestrune/backends/lmstudio.hpp"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "backends/openai_compat.hpp"
#include "core/text.hpp"
#include "platform/net/http.hpp"
#include "platform/os/files.hpp"
#include "platform/os/process.hpp"
#include "platform/os/system.hpp"

namespace kestrune::backends {

namespace files = platform::files;
namespace http = platform::http;
namespace process = platform::process;

namespace {

std::string below_home(std::initializer_list<std::string_view> parts) {
    std::string path = platform::system::home_dir();
    for (const auto part : parts) {
        path = files::join(path, part);
    }
    return path;
}

// lms is a convenience for loads and unloads, which go ahead whatever it does: every failure
// to run it is ignored there.
void run_lms_ignoring_failures(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout) {
    try {
        process::run(argv, timeout);
    } catch (const Error&) {
    }
}

bool path_exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

}  // namespace

LMStudioBackend::LMStudioBackend(const std::string& host, LMStudioTimeouts timeouts)
    : OpenAICompatibleBackend(host, timeouts.server, BrokenEvents::skip), _lms_timeouts(timeouts) {}

std::vector<std::string> LMStudioBackend::lms_paths() {
    return {below_home({".cache", "lm-studio"}), below_home({"AppData", "Roaming", "LM Studio"})};
}

std::vector<std::string> LMStudioBackend::cache_dirs() {
    return {below_home({".cache", "lm-studio", "models"}),
            below_home({"AppData", "Roaming", "LM Studio", "models"})};
}

BackendInfo LMStudioBackend::detect() {
    if (auto info = _probe_cli()) {
        return *info;
    }
    if (auto info = _probe_server()) {
        return *info;
    }
    for (const auto& path : lms_paths()) {
        if (path_exists(path)) {
            return {.name = "lmstudio",
                    .version = "installed",
                    .available = false,
                    .details = "LM Studio installed (not running)"};
        }
    }
    return {.name = "lmstudio",
            .version = "",
            .available = false,
            .details = "LM Studio not found. https://lmstudio.ai"};
}

std::optional<BackendInfo> LMStudioBackend::_probe_cli() {
    process::RunResult result;
    try {
        result = process::run({"lms", "version"}, _lms_timeouts.version);
    } catch (const process::ProgramNotFound&) {
        return std::nullopt;
    } catch (const process::ProcessTimeout&) {
        return std::nullopt;
    }
    if (result.exit_code != 0) {
        return std::nullopt;
    }
    const std::string version(text::trim_whitespace(result.out));
    return BackendInfo{.name = "lmstudio",
                       .version = version,
                       .available = true,
                       .details = "LM Studio " + version};
}

std::optional<BackendInfo> LMStudioBackend::_probe_server() {
    try {
        // The status is enough; the listing itself is not read.
        http::ResponseStream::open(
            openai_compat::models_request(_host, listing_headers(), _lms_timeouts.probe));
    } catch (const http::HttpError&) {
        return std::nullopt;
    }
    return BackendInfo{.name = "lmstudio",
                       .version = "api",
                       .available = true,
                       .details = "LM Studio at " + _host};
}

std::vector<ModelEntry> LMStudioBackend::list_models() {
    std::vector<ModelEntry> entries;
    try {
        _append_listed_models(entries, _timeouts.list);
        return entries;
    } catch (const Error&) {
        // The server is not there or answered oddly: fall back to the files on disk, after
        // whatever the server listed before it failed.
    }
    auto cached = _scan_cache();
    entries.insert(entries.end(), cached.begin(), cached.end());
    return entries;
}

std::vector<ModelEntry> LMStudioBackend::_scan_cache() const {
    std::vector<ModelEntry> entries;
    for (const auto& directory : cache_dirs()) {
        if (!path_exists(directory)) {
            continue;
        }
        for (const auto& path : files::find_gguf(directory, "")) {
            entries.push_back({.name = std::filesystem::path(path).filename().string(),
                               .backend = name(),
                               .size_mb = static_cast<double>(files::file_size_mb(path)),
                               .path = path});
        }
    }
    return entries;
}

std::string LMStudioBackend::pull(const std::string& model_name,
                                  const ProgressCallback& /*progress_callback*/) {
    // A download that did not happen leaves nothing to load: unlike loads, its failure is told.
    process::RunResult result;
    try {
        result = process::run({"lms", "get", model_name}, _lms_timeouts.download);
    } catch (const process::ProgramNotFound&) {
        throw MissingComponentError("LM Studio's lms command is not installed: cannot pull '" +
                                    model_name + "'");
    }
    if (result.exit_code != 0) {
        throw RuntimeFailure("lms get " + model_name + " failed with status " +
                             std::to_string(result.exit_code) + ": " + result.err);
    }
    return model_name;
}

void LMStudioBackend::load(const std::string& model_ref, const LoadOptions& options) {
    OpenAICompatibleBackend::load(model_ref, options);
    run_lms_ignoring_failures({"lms", "load", model_ref, "--yes"}, _lms_timeouts.load);
}

void LMStudioBackend::unload() {
    run_lms_ignoring_failures({"lms", "unload", "--yes"}, _lms_timeouts.unload);
    OpenAICompatibleBackend::unload();
}

}  // namespace kestrune::backends
