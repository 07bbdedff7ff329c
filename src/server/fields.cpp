#include "server/fields.hpp"

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

}  // namespace kestrune::server::fields
