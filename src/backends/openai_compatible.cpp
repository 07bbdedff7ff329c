#include "kestrune/backends/openai_compatible.hpp"

#include "backends/openai_compat.hpp"
#include "backends/sse.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::backends {

OpenAICompatibleBackend::OpenAICompatibleBackend(const std::string& host,
                                                 OpenAICompatibleTimeouts timeouts,
                                                 BrokenEvents broken_events)
    : _host(text::strip_trailing_slashes(host)),
      _timeouts(timeouts),
      _broken_events(broken_events) {}

OpenAICompatibleBackend::Headers OpenAICompatibleBackend::listing_headers() const {
    return {};
}

OpenAICompatibleBackend::Headers OpenAICompatibleBackend::chat_headers() const {
    return openai_compat::json_headers();
}

void OpenAICompatibleBackend::_append_listed_models(std::vector<ModelEntry>& entries,
                                                    std::chrono::milliseconds timeout) const {
    const Json answer = openai_compat::fetch_models(_host, listing_headers(), timeout);
    openai_compat::append_model_entries(answer, name(), entries);
}

int OpenAICompatibleBackend::_listed_model_count(std::chrono::milliseconds timeout) const {
    const Json answer = openai_compat::fetch_models(_host, listing_headers(), timeout);
    return static_cast<int>(openai_compat::models_data(answer).size());
}

std::vector<ModelEntry> OpenAICompatibleBackend::list_models() {
    std::vector<ModelEntry> entries;
    try {
        _append_listed_models(entries, _timeouts.list);
    } catch (const Error&) {
        return {};
    }
    return entries;
}

std::string OpenAICompatibleBackend::pull(const std::string& model_name,
                                          const ProgressCallback& /*progress_callback*/) {
    return model_name;
}

void OpenAICompatibleBackend::load(const std::string& model_ref, const LoadOptions& /*options*/) {
    _model = model_ref;
}

std::string OpenAICompatibleBackend::chat(const Messages& messages,
                                          const std::optional<GenerationConfig>& config) {
    return openai_compat::chat(_host, chat_headers(), _timeouts.chat, _model, messages,
                               config.value_or(GenerationConfig{}));
}

TextStream OpenAICompatibleBackend::stream(const Messages& messages,
                                           const std::optional<GenerationConfig>& config) {
    const auto on_malformed =
        _broken_events == BrokenEvents::fail ? sse::OnMalformed::fail : sse::OnMalformed::skip;
    return openai_compat::stream(_host, chat_headers(), _timeouts.chat, _model, messages,
                                 config.value_or(GenerationConfig{}), on_malformed);
}

}  // namespace kestrune::backends
