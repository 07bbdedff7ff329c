#include "kestrune/backends/remote.hpp"

#include "backends/openai_compat.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::backends {

RemoteBackend::RemoteBackend(const std::string& host, const std::string& api_key,
                             OpenAICompatibleTimeouts timeouts)
    : OpenAICompatibleBackend(host, timeouts, BrokenEvents::skip), _api_key(api_key) {}

RemoteBackend::Headers RemoteBackend::_headers() const {
    auto headers = openai_compat::json_headers();
    if (!_api_key.empty()) {
        headers.emplace_back("Authorization", "Bearer " + _api_key);
    }
    return headers;
}

RemoteBackend::Headers RemoteBackend::listing_headers() const {
    return _headers();
}

RemoteBackend::Headers RemoteBackend::chat_headers() const {
    return _headers();
}

BackendInfo RemoteBackend::detect() {
    try {
        const int models_count = _listed_model_count(_timeouts.list);
        return {.name = "remote",
                .version = "api",
                .available = true,
                .models_count = models_count,
                .details = "Remote API at " + _host};
    } catch (const Error&) {
        return {
            .name = "remote", .version = "", .available = false, .details = "No API at " + _host};
    }
}

}  // namespace kestrune::backends
