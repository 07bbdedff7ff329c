#include "backends/openai_compat.hpp"

#include <utility>

#include "kestrune/core/errors.hpp"

namespace kestrune::backends::openai_compat {

namespace http = platform::http;

namespace {

Json parse_body(const std::string& body, std::string_view what) {
    Json parsed = parse_answer(body, false);
    if (parsed.is_discarded()) {
        throw InvalidValueError(std::string(what) + " is not valid JSON");
    }
    return parsed;
}

http::Request chat_request(const std::string& host, const Headers& headers,
                           std::chrono::milliseconds timeout, const Json& body) {
    return {.method = "POST",
            .url = host + "/v1/chat/completions",
            .headers = headers,
            .body = dump_ascii(body),
            .connect_timeout = timeout,
            .idle_timeout = timeout};
}

// choices[0].message.content of a whole chat answer.
std::string message_content(const Json& answer) {
    if (!answer.is_object()) {
        throw RuntimeFailure("chat answer is not a JSON object");
    }
    const auto choices = answer.find("choices");
    if (choices == answer.end() || !choices->is_array() || choices->empty()) {
        throw RuntimeFailure("chat answer has no choices");
    }
    const Json& choice = choices->front();
    const auto message = choice.is_object() ? choice.find("message") : choice.end();
    if (!choice.is_object() || message == choice.end() || !message->is_object()) {
        throw RuntimeFailure("chat answer has no message");
    }
    const auto content = message->find("content");
    if (content == message->end()) {
        throw RuntimeFailure("chat answer has no content");
    }
    if (content->is_null()) {
        return "";
    }
    if (!content->is_string()) {
        throw RuntimeFailure("chat answer content is not text");
    }
    return content->get<std::string>();
}

}  // namespace

Headers json_headers() {
    return {{"Content-Type", "application/json"}};
}

Json chat_body(const std::string& model, const Messages& messages, const GenerationConfig& config,
               bool stream) {
    Json body = Json::object();
    body["model"] = model;
    body["messages"] = messages_to_json(messages);
    body["max_tokens"] = config.max_tokens;
    body["temperature"] = config.temperature;
    body["stream"] = stream;
    return body;
}

http::Request models_request(const std::string& host, const Headers& headers,
                             std::chrono::milliseconds timeout) {
    return {.method = "GET",
            .url = host + "/v1/models",
            .headers = headers,
            .connect_timeout = timeout,
            .idle_timeout = timeout};
}

Json fetch_models(const std::string& host, const Headers& headers,
                  std::chrono::milliseconds timeout) {
    const http::Response response = http::fetch(models_request(host, headers, timeout));
    return parse_body(response.body, "models answer");
}

const Json& models_data(const Json& answer) {
    static const Json no_models = Json::array();
    if (!answer.is_object()) {
        throw RuntimeFailure("models answer is not a JSON object");
    }
    const auto data = answer.find("data");
    if (data == answer.end()) {
        return no_models;
    }
    if (!data->is_array()) {
        throw RuntimeFailure("models answer data is not a list");
    }
    return *data;
}

void append_model_entries(const Json& answer, const std::string& backend,
                          std::vector<ModelEntry>& entries) {
    for (const Json& model : models_data(answer)) {
        const auto id = model.is_object() ? model.find("id") : model.end();
        if (!model.is_object() || id == model.end() || !id->is_string()) {
            throw RuntimeFailure("models answer lists a model without an id");
        }
        entries.push_back({.name = id->get<std::string>(), .backend = backend});
    }
}

std::string chat(const std::string& host, const Headers& headers, std::chrono::milliseconds timeout,
                 const std::string& model, const Messages& messages,
                 const GenerationConfig& config) {
    const Json body = chat_body(model, messages, config, false);
    const http::Response response = http::fetch(chat_request(host, headers, timeout, body));
    return message_content(parse_body(response.body, "chat answer"));
}

TextStream stream(const std::string& host, const Headers& headers,
                  std::chrono::milliseconds timeout, const std::string& model,
                  const Messages& messages, const GenerationConfig& config,
                  sse::OnMalformed on_malformed) {
    return sse::content_stream(
        chat_request(host, headers, timeout, chat_body(model, messages, config, true)),
        on_malformed);
}

}  // namespace kestrune::backends::openai_compat
