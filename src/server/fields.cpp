#include "server/fields.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <regex>

#include "inference/output_format.hpp"
#include "server/answer.hpp"

namespace kestrune::server::fields {

namespace {

[[noreturn]] void wrong(std::string_view key, std::string_view what) {
    throw RequestError(400, "'" + std::string(key) + "' must be " + std::string(what));
}

const Json* find(const Json& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::string content_text(const Json& content) {
    if (content.is_string()) {
        return content.get<std::string>();
    }
    if (!content.is_array()) {
        wrong("content", "a text or a list of parts");
    }
    std::string joined;
    for (const Json& part : content) {
        if (part.is_object() && part.value("type", "") == "text") {
            joined += required_text(part, "text");
        }
    }
    return joined;
}

// Calls in OpenAI's form, arguments as JSON text, whichever form they came in.
std::string tool_calls_text(const Json& calls) {
    if (!calls.is_array()) {
        wrong("tool_calls", "a list of calls");
    }
    std::vector<ToolCall> read;
    for (const Json& call : calls) {
        const Json* function = call.is_object() ? find(call, "function") : nullptr;
        if (function == nullptr || !function->is_object()) {
            wrong("tool_calls", "a list of {\"function\": {\"name\": …, \"arguments\": …}}");
        }
        const Json* arguments = find(*function, "arguments");
        std::string arguments_text = "{}";
        if (arguments != nullptr) {
            arguments_text =
                arguments->is_string() ? arguments->get<std::string>() : to_text(*arguments);
        }
        std::string id = text(call, "id").value_or("");
        read.push_back(
            {required_text(*function, "name"), std::move(arguments_text), std::move(id)});
    }
    return to_text(openai_tool_calls(read));
}

// A number of `object` within [low, high] (`open_low`: above low), or absent.
std::optional<double> bounded(const Json& object, std::string_view key, double low, double high,
                              bool open_low = false) {
    const auto value = number(object, key);
    if (value && (*value < low || *value > high || (open_low && *value == low))) {
        const auto shown = [](double limit) {
            return std::isinf(limit) ? std::string(limit < 0 ? "-infinity" : "infinity")
                                     : to_text(Json(limit));
        };
        throw RequestError(400, "'" + std::string(key) + "' must be " +
                                    (open_low ? "above " : "at least ") + shown(low) +
                                    " and at most " + shown(high));
    }
    return value;
}

}  // namespace

std::string to_text(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json parse_object(const std::string& body) {
    Json parsed;
    try {
        parsed = parse_answer(body, true, kMaxBodyDepth);
    } catch (const Json::exception&) {
        throw RequestError(400, "the body is not valid JSON");
    } catch (const InvalidValueError&) {
        throw RequestError(
            400, "the body is nested deeper than " + std::to_string(kMaxBodyDepth) + " levels");
    }
    if (!parsed.is_object()) {
        throw RequestError(400, "the body must be a JSON object");
    }
    return parsed;
}

std::optional<std::string> text(const Json& object, std::string_view key) {
    const Json* value = find(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        wrong(key, "a text");
    }
    return value->get<std::string>();
}

std::string required_text(const Json& object, std::string_view key) {
    auto value = text(object, key);
    if (!value) {
        throw RequestError(400, "'" + std::string(key) + "' is required");
    }
    return *value;
}

std::optional<double> number(const Json& object, std::string_view key) {
    const Json* value = find(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_number()) {
        wrong(key, "a number");
    }
    return value->get<double>();
}

std::optional<long long> integer(const Json& object, std::string_view key) {
    const Json* value = find(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_number_integer()) {
        wrong(key, "an integer");
    }
    return value->get<long long>();
}

std::optional<bool> flag(const Json& object, std::string_view key) {
    const Json* value = find(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_boolean()) {
        wrong(key, "true or false");
    }
    return value->get<bool>();
}

std::chrono::seconds duration(const std::string& text) {
    static const std::regex kDuration(
        R"(\s*(-?)((?:\d+(?:\.\d*)?(?:ns|us|µs|ms|s|m|h))+|\d+(?:\.\d*)?)\s*)");
    static const std::regex kPart(R"((\d+(?:\.\d*)?)(ns|us|µs|ms|s|m|h)?)");
    std::smatch whole;
    if (!std::regex_match(text, whole, kDuration)) {
        throw InvalidValueError(
            "'" + text +
            "' is not a duration (such as \"5m\", \"1h30m\", \"90s\" or a count of seconds)");
    }
    double seconds = 0;
    const std::string parts = whole[2];
    for (auto part = std::sregex_iterator(parts.begin(), parts.end(), kPart);
         part != std::sregex_iterator(); ++part) {
        const std::string unit = (*part)[2];
        const double scale = unit == "h"                    ? 3600
                             : unit == "m"                  ? 60
                             : unit == "ms"                 ? 1e-3
                             : unit == "us" || unit == "µs" ? 1e-6
                             : unit == "ns"                 ? 1e-9
                                                            : 1;
        seconds += std::stod((*part)[1]) * scale;
    }
    constexpr double kMost = 1e9;  // some thirty years: longer counts as for ever
    seconds = std::min(seconds, kMost);
    return std::chrono::seconds(
        static_cast<long long>(whole[1] == "-" ? -std::max(seconds, 1.0) : seconds));
}

std::optional<std::chrono::seconds> keep_alive(const Json& object) {
    const Json* value = find(object, "keep_alive");
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number()) {
        const double seconds = std::clamp(value->get<double>(), -1e9, 1e9);
        return std::chrono::seconds(
            static_cast<long long>(seconds < 0 ? std::min(seconds, -1.0) : seconds));
    }
    if (!value->is_string()) {
        wrong("keep_alive", "a duration (\"5m\") or a count of seconds");
    }
    try {
        return duration(value->get<std::string>());
    } catch (const InvalidValueError& error) {
        throw RequestError(400, std::string("'keep_alive': ") + error.what());
    }
}

std::vector<std::string> texts(const Json& object, std::string_view key) {
    const Json* value = find(object, key);
    if (value == nullptr) {
        return {};
    }
    if (value->is_string()) {
        return {value->get<std::string>()};
    }
    if (!value->is_array()) {
        wrong(key, "a text or a list of texts");
    }
    std::vector<std::string> list;
    for (const Json& item : *value) {
        if (!item.is_string()) {
            wrong(key, "a text or a list of texts");
        }
        list.push_back(item.get<std::string>());
    }
    return list;
}

Messages messages(const Json& object, std::string_view key) {
    const Json* list = find(object, key);
    if (list == nullptr) {
        throw RequestError(400, "'" + std::string(key) + "' is required");
    }
    if (!list->is_array() || list->empty()) {
        wrong(key, "a non-empty list of messages");
    }
    Messages result;
    for (const Json& message : *list) {
        if (!message.is_object()) {
            wrong(key, "a list of objects");
        }
        const Json* content = find(message, "content");
        Message read(required_text(message, "role"),
                     content == nullptr ? std::string() : content_text(*content));
        const auto keep = [&](std::string_view field, const char* as) {
            if (auto value = text(message, field); value && !value->empty()) {
                read.set(as, std::move(*value));
            }
        };
        keep("reasoning_content", "reasoning_content");
        keep("thinking", "reasoning_content");
        if (const Json* calls = find(message, "tool_calls"); calls != nullptr) {
            read.set("tool_calls", tool_calls_text(*calls));
        }
        keep("tool_call_id", "tool_call_id");
        keep("name", "name");
        keep("tool_name", "name");
        result.push_back(std::move(read));
    }
    return result;
}

std::vector<ToolSpec> tools(const Json& object, std::string_view key) {
    const Json* list = find(object, key);
    if (list == nullptr) {
        return {};
    }
    if (!list->is_array()) {
        wrong(key, "a list of tools");
    }
    std::vector<ToolSpec> result;
    for (const Json& tool : *list) {
        const Json* function = tool.is_object() ? find(tool, "function") : nullptr;
        if (function == nullptr || !function->is_object() ||
            text(tool, "type").value_or("function") != "function") {
            wrong(key, "a list of {\"type\": \"function\", \"function\": {…}}");
        }
        ToolSpec spec{.name = required_text(*function, "name"),
                      .description = text(*function, "description").value_or("")};
        if (const Json* parameters = find(*function, "parameters"); parameters != nullptr) {
            if (!parameters->is_object()) {
                wrong("parameters", "a JSON schema object");
            }
            spec.parameters = to_text(*parameters);
        }
        result.push_back(std::move(spec));
    }
    return result;
}

std::vector<ToolSpec> tools(const Json& object, std::string_view key,
                            const std::function<Json(const Json& tool)>& to_shared) {
    const Json* list = find(object, key);
    if (list == nullptr) {
        return {};
    }
    if (!list->is_array()) {
        wrong(key, "a list of tools");
    }
    Json shared = Json::array();
    for (const Json& tool : *list) {
        shared.push_back(to_shared(tool));
    }
    return tools(Json{{key, shared}}, key);
}

std::optional<int> token_limit(const Json& object, std::string_view key) {
    const auto limit = integer(object, key);
    if (limit && *limit < 1) {
        throw RequestError(400, "'" + std::string(key) + "' must be at least 1");
    }
    return limit ? std::optional<int>(static_cast<int>(std::min<long long>(*limit, 1 << 30)))
                 : std::nullopt;
}

void sampling_controls(const Json& object, platform::llama::Sampling& sampling) {
    constexpr double kAny = std::numeric_limits<double>::infinity();
    sampling.temperature = bounded(object, "temperature", 0, 2).value_or(sampling.temperature);
    sampling.top_p = bounded(object, "top_p", 0, 1, true).value_or(sampling.top_p);
    sampling.min_p = bounded(object, "min_p", 0, 1).value_or(sampling.min_p);
    sampling.typical_p = bounded(object, "typical_p", 0, 1, true).value_or(sampling.typical_p);
    sampling.repeat_penalty =
        bounded(object, "repeat_penalty", 0, kAny, true).value_or(sampling.repeat_penalty);
    sampling.presence_penalty =
        bounded(object, "presence_penalty", -2, 2).value_or(sampling.presence_penalty);
    sampling.frequency_penalty =
        bounded(object, "frequency_penalty", -2, 2).value_or(sampling.frequency_penalty);
    if (const auto top_k = integer(object, "top_k")) {
        if (*top_k < 0) {
            throw RequestError(400, "'top_k' must be at least 0");
        }
        sampling.top_k = static_cast<int>(std::min<long long>(*top_k, 1 << 30));
    }
    if (const auto window = integer(object, "repeat_last_n")) {
        if (*window < -1) {
            throw RequestError(400, "'repeat_last_n' must be at least -1");
        }
        sampling.repeat_last_n = static_cast<int>(std::min<long long>(*window, 1 << 30));
    }
    if (const auto seed = integer(object, "seed")) {
        sampling.seed = *seed < 0 ? std::nullopt : std::optional(static_cast<std::uint32_t>(*seed));
    }
}

std::vector<std::pair<platform::llama::Token, float>> logit_bias(const Json& object,
                                                                 std::string_view key) {
    const Json* biases = find(object, key);
    if (biases == nullptr) {
        return {};
    }
    if (!biases->is_object()) {
        wrong(key, "an object from token ids to biases");
    }
    std::vector<std::pair<platform::llama::Token, float>> result;
    for (const auto& [id, bias] : biases->items()) {
        int token = -1;
        const auto [end, failure] = std::from_chars(id.data(), id.data() + id.size(), token);
        if (failure != std::errc() || end != id.data() + id.size() || token < 0) {
            wrong(key, "keyed by token ids");
        }
        if (!bias.is_number() || bias.get<double>() < -100 || bias.get<double>() > 100) {
            wrong(key, "an object of biases from -100 to 100");
        }
        // -100 bans the token, as OpenAI reads it.
        const double value = bias.get<double>();
        result.emplace_back(token, value <= -100 ? -std::numeric_limits<float>::infinity()
                                                 : static_cast<float>(value));
    }
    return result;
}

std::string schema_grammar(const Json& schema, std::string_view key) {
    try {
        return inference::output_format::schema_grammar(schema);
    } catch (const InvalidValueError& error) {
        throw RequestError(400, "'" + std::string(key) + "': " + error.what());
    }
}

}  // namespace kestrune::server::fields
