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

}  // namespace

std::string to_text(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json parse_object(const std::string& body) {
    Json parsed = parse_answer(body, false);
    if (parsed.is_discarded()) {
        throw RequestError(400, "the body is not valid JSON");
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
        result.emplace_back(required_text(message, "role"),
                            content == nullptr ? std::string() : content_text(*content));
    }
    return result;
}

}  // namespace kestrune::server::fields
