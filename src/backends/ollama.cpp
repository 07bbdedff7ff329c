#include "kestrune/backends/ollama.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <string_view>
#include <utility>

#include "core/json.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/http.hpp"

namespace kestrune::backends {

namespace http = platform::http;

namespace {

constexpr std::string_view kVendorAddress = "https://ollama.com/download";
constexpr double kBytesPerMb = 1048576.0;
// Quoted parts of what the server sent are cut here, so a huge page cannot flood a message.
constexpr std::size_t kQuoteLimit = 200;

std::string quote(std::string_view text) {
    return text.size() <= kQuoteLimit ? std::string(text)
                                      : std::string(text.substr(0, kQuoteLimit)) + "...";
}

[[noreturn]] void fail_on_shape() {
    throw RuntimeFailure("Ollama answered with JSON of an unexpected shape");
}

// The value of `key` in `object`, or nullptr when the key is missing or null.
const Json* field(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        fail_on_shape();
    }
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

// The text held by `key`, or "" when the key is missing or null.
std::string text_field(const Json& object, std::string_view key) {
    const Json* value = field(object, key);
    if (value == nullptr) {
        return "";
    }
    if (!value->is_string()) {
        fail_on_shape();
    }
    return value->get<std::string>();
}

// A value as it reads in plain text: a string without quotes, anything else as JSON.
std::string plain_text(const Json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// Ollama reports refusals as {"error": "..."}; that text is what the caller needs to see.
void fail_on_error_answer(const Json& answer) {
    if (!answer.is_object()) {
        return;
    }
    if (const Json* error = field(answer, "error"); error != nullptr) {
        throw RuntimeFailure("Ollama error: " + plain_text(*error));
    }
}

std::string error_text_of(const http::StatusError& failure) {
    try {
        const Json body = parse_answer(failure.body());
        if (body.is_object() && body.contains("error")) {
            return plain_text(body["error"]);
        }
    } catch (const Json::parse_error&) {
        // Not Ollama's error object: quote the body as it came.
    }
    return quote(failure.body());
}

RuntimeFailure ollama_failure(const http::HttpError& failure) {
    if (const auto* status = dynamic_cast<const http::StatusError*>(&failure)) {
        std::string message = "Ollama answered HTTP " + std::to_string(status->status());
        if (const std::string text = error_text_of(*status); !text.empty()) {
            message += ": " + http::mask_bearer_tokens(text);
        }
        return RuntimeFailure(message);
    }
    return RuntimeFailure(std::string("Ollama request failed: ") + failure.what());
}

// Runs an HTTP step, turning its transport and status failures into RuntimeFailure with the
// server's own error text.
template <typename Step>
auto reporting_ollama_failures(Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const http::HttpError& failure) {
        throw ollama_failure(failure);
    }
}

http::Request make_request(std::string url, const std::optional<Json>& data,
                           const std::optional<std::string>& method,
                           std::chrono::milliseconds timeout) {
    http::Request request;
    request.url = std::move(url);
    request.connect_timeout = timeout;
    request.idle_timeout = timeout;
    const bool has_body = data.has_value() && !data->empty();
    if (has_body) {
        request.body = dump_ascii(*data);
        request.headers = {{"Content-Type", "application/json"}};
    }
    request.method = method.value_or(has_body ? "POST" : "GET");
    return request;
}

// One whole exchange: the parsed answer, or HttpError / InvalidValueError.
Json exchange(const http::Request& request) {
    const http::Response response = http::fetch(request);
    try {
        return parse_answer(response.body);
    } catch (const Json::parse_error&) {
        throw InvalidValueError("Ollama answered with a body that is not JSON: " +
                                quote(response.body));
    }
}

Json chat_body(const std::string& model, const Messages& messages, const GenerationConfig& config,
               bool stream) {
    return Json{{"model", model},
                {"messages", messages_to_json(messages)},
                {"stream", stream},
                {"options",
                 {{"temperature", config.temperature},
                  {"top_p", config.top_p},
                  {"top_k", config.top_k},
                  {"repeat_penalty", config.repeat_penalty},
                  {"num_predict", config.max_tokens}}}};
}

// The text of the answer's `message`; empty when either is missing.
std::string message_content(const Json& answer) {
    const Json* message = field(answer, "message");
    return message == nullptr ? "" : text_field(*message, "content");
}

bool is_done(const Json& chunk) {
    const Json* done = field(chunk, "done");
    return done != nullptr && done->is_boolean() && done->get<bool>();
}

Json parse_stream_line(const std::string& line) {
    try {
        return parse_answer(line);
    } catch (const Json::parse_error&) {
        throw RuntimeFailure("Ollama sent a stream line that is not JSON: " + quote(line));
    }
}

// The coroutine owns copies of everything it needs, so the stream outlives the adapter.
TextStream stream_chat(std::string url, std::string model, Messages messages,
                       GenerationConfig config, std::chrono::milliseconds timeout) {
    const Json body = chat_body(model, messages, config, true);
    const http::Request request = make_request(std::move(url), body, std::nullopt, timeout);
    auto response = reporting_ollama_failures([&] { return http::ResponseStream::open(request); });
    while (auto line = reporting_ollama_failures([&] { return response.next_line(); })) {
        if (line->empty()) {
            continue;
        }
        const Json chunk = parse_stream_line(*line);
        fail_on_error_answer(chunk);
        co_yield message_content(chunk);
        if (is_done(chunk)) {
            co_return;
        }
    }
}

// "7.6B" → 7.6, "70B" → 70, "137M" → 0.137, "500K" → 0.0005; unreadable → 0.0.
double parameter_billions(const Json* parameter_size) {
    if (parameter_size == nullptr || !parameter_size->is_string()) {
        return 0.0;
    }
    std::string_view text = text::trim_whitespace(parameter_size->get_ref<const std::string&>());
    double per_billion = 1.0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'B':
                text.remove_suffix(1);
                break;
            case 'M':
                per_billion = 1e3;
                text.remove_suffix(1);
                break;
            case 'K':
                per_billion = 1e6;
                text.remove_suffix(1);
                break;
            default:
                break;
        }
    }
    text = text::trim_whitespace(text);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return 0.0;
    }
    return value / per_billion;
}

double size_in_mb(const Json* size) {
    if (size == nullptr) {
        return 0.0;
    }
    if (!size->is_number()) {
        fail_on_shape();
    }
    // Dividing by a power of two is exact, so the floor is the whole mebibytes.
    return std::floor(size->get<double>() / kBytesPerMb);
}

ModelEntry model_entry(const Json& model) {
    ModelEntry entry;
    entry.name = text_field(model, "name");
    entry.backend = "ollama";
    entry.size_mb = size_in_mb(field(model, "size"));
    if (const Json* details = field(model, "details"); details != nullptr) {
        entry.family = text_field(*details, "family");
        entry.quant = text_field(*details, "quantization_level");
        entry.parameters_b = parameter_billions(field(*details, "parameter_size"));
    }
    return entry;
}

std::vector<ModelEntry> model_entries(const Json& answer) {
    std::vector<ModelEntry> entries;
    const Json* models = field(answer, "models");
    if (models == nullptr) {
        return entries;
    }
    if (!models->is_array()) {
        fail_on_shape();
    }
    for (const Json& model : *models) {
        entries.push_back(model_entry(model));
    }
    return entries;
}

bool is_present(const std::optional<Json>& answer) {
    return answer && !answer->empty();
}

}  // namespace

OllamaBackend::OllamaBackend(std::string host, OllamaTimeouts timeouts)
    : _host(text::strip_trailing_slashes(host)), _timeouts(timeouts) {}

std::optional<Json> OllamaBackend::_request(const std::string& endpoint) {
    return _request(endpoint, Json(), std::nullopt);
}

std::optional<Json> OllamaBackend::_request(const std::string& endpoint, const Json& data,
                                            const std::optional<std::string>& method) {
    try {
        return exchange(make_request(_host + endpoint, data, method, _timeouts.request));
    } catch (const http::Unreachable&) {
        return std::nullopt;
    } catch (const http::StatusError&) {
        return std::nullopt;
    }
}

BackendInfo OllamaBackend::detect() {
    BackendInfo info;
    info.name = "ollama";
    try {
        const std::optional<Json> answer = _request("/api/version");
        if (is_present(answer) && answer->is_object()) {
            const Json* version = field(*answer, "version");
            const std::string version_text = version != nullptr ? plain_text(*version) : "";
            info.version = version != nullptr ? version_text : "unknown";
            info.available = true;
            info.details = "Ollama " + version_text + " at " + _host;
            return info;
        }
    } catch (const Error&) {
        // A time-out after connecting or a body that is not JSON: not usable either.
    }
    info.details = "Ollama not running. Install: " + std::string(kVendorAddress);
    return info;
}

std::vector<ModelEntry> OllamaBackend::list_models() {
    try {
        const std::optional<Json> answer = _request("/api/tags");
        if (is_present(answer)) {
            return model_entries(*answer);
        }
    } catch (const Error&) {
        // A time-out after connecting or an unusable body lists nothing.
    }
    return {};
}

std::string OllamaBackend::pull(const std::string& model_name,
                                const ProgressCallback& /*progress_callback*/) {
    const std::optional<Json> answer =
        _request("/api/pull", Json{{"name", model_name}, {"stream", false}});
    if (!is_present(answer)) {
        throw RuntimeFailure("Ollama at " + _host + " did not pull '" + model_name +
                             "': no answer, or an error status");
    }
    const Json* status = answer->is_object() ? field(*answer, "status") : nullptr;
    if (status == nullptr || *status != "success") {
        throw RuntimeFailure("Ollama at " + _host + " did not pull '" + model_name +
                             "': it answered " + answer->dump());
    }
    return model_name;
}

void OllamaBackend::load(const std::string& model_ref, const LoadOptions& options) {
    _model = model_ref;
    // Loads the model with this context length and generates at most one token.
    _request("/api/generate", Json{{"model", model_ref},
                                   {"prompt", "hi"},
                                   {"options", {{"num_predict", 1}, {"num_ctx", options.n_ctx}}},
                                   {"stream", false}});
    _loaded = true;
}

std::string OllamaBackend::chat(const Messages& messages,
                                const std::optional<GenerationConfig>& config) {
    const Json body = chat_body(_model, messages, config.value_or(GenerationConfig{}), false);
    const http::Request request =
        make_request(_host + "/api/chat", body, std::nullopt, _timeouts.request);
    const Json answer = reporting_ollama_failures([&] { return exchange(request); });
    fail_on_error_answer(answer);
    return answer.empty() ? "" : message_content(answer);
}

TextStream OllamaBackend::stream(const Messages& messages,
                                 const std::optional<GenerationConfig>& config) {
    return stream_chat(_host + "/api/chat", _model, messages, config.value_or(GenerationConfig{}),
                       _timeouts.stream);
}

void OllamaBackend::unload() {
    _model.clear();
    _loaded = false;
}

BackendStats OllamaBackend::stats() const {
    return BackendStats{.model_name = _model};
}

}  // namespace kestrune::backends
