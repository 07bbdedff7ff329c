#include "kestrune/backends/remote.hpp"

#include <chrono>

#include "backends/openai_compat.hpp"
#include "backends/sse.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/http.hpp"

namespace kestrune::backends {

namespace {

constexpr std::chrono::seconds models_timeout{5};

}  // namespace

RemoteBackend::RemoteBackend(const std::string& host, const std::string& api_key)
    : _host(text::strip_trailing_slashes(host)), _api_key(api_key) {}

platform::http::Headers RemoteBackend::_headers() const {
    auto headers = openai_compat::json_headers();
    if (!_api_key.empty()) {
        headers.emplace_back("Authorization", "Bearer " + _api_key);
    }
    return headers;
}

BackendInfo RemoteBackend::detect() {
    try {
        const Json answer = openai_compat::fetch_models(_host, _headers(), models_timeout);
        return {.name = "remote",
                .version = "api",
                .available = true,
                .models_count = static_cast<int>(openai_compat::models_data(answer).size()),
                .details = "Remote API at " + _host};
    } catch (const Error&) {
        return {
            .name = "remote", .version = "", .available = false, .details = "No API at " + _host};
    }
}

std::vector<ModelEntry> RemoteBackend::list_models() {
    std::vector<ModelEntry> entries;
    try {
        const Json answer = openai_compat::fetch_models(_host, _headers(), models_timeout);
        openai_compat::append_model_entries(answer, name(), entries);
    } catch (const Error&) {
        return {};
    }
    return entries;
}

std::string RemoteBackend::pull(const std::string& model_name,
                                const ProgressCallback& /*progress_callback*/) {
    return model_name;
}

void RemoteBackend::load(const std::string& model_ref, const LoadOptions& /*options*/) {
    _model = model_ref;
}

std::string RemoteBackend::chat(const Messages& messages,
                                const std::optional<GenerationConfig>& config) {
    return openai_compat::chat(_host, _headers(), _model, messages,
                               config.value_or(GenerationConfig{}));
}

TextStream RemoteBackend::stream(const Messages& messages,
                                 const std::optional<GenerationConfig>& config) {
    return openai_compat::stream(_host, _headers(), _model, messages,
                                 config.value_or(GenerationConfig{}), sse::OnMalformed::skip);
}

}  // namespace kestrune::backends
