#include "inference/output_format.hpp"

#include <algorithm>
#include <array>

#include "kestrune/core/errors.hpp"
#include "platform/llama/grammar.hpp"

namespace kestrune::inference::output_format {

namespace {

// Constraints the converter drops without a word: an answer could break every one of them.
constexpr std::array kDroppedKeywords{"not",
                                      "if",
                                      "then",
                                      "else",
                                      "multipleOf",
                                      "minProperties",
                                      "maxProperties",
                                      "patternProperties",
                                      "propertyNames",
                                      "dependentRequired",
                                      "dependentSchemas",
                                      "dependencies",
                                      "contains",
                                      "minContains",
                                      "maxContains",
                                      "unevaluatedProperties",
                                      "unevaluatedItems",
                                      "additionalItems"};
// Bounds the converter keeps on integers only.
constexpr std::array kBounds{"minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum"};

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    throw InvalidValueError("The JSON schema at " + where + " " + what +
                            ", which constrained output cannot keep");
}

void check(const Json& schema, const std::string& where);

void check_each(const Json& list, const std::string& where) {
    if (!list.is_array()) {
        return;  // the converter names what is malformed
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        check(list[i], where + "/" + std::to_string(i));
    }
}

void check_members(const Json& map, const std::string& where) {
    if (!map.is_object()) {
        return;
    }
    for (const auto& [name, member] : map.items()) {
        check(member, where + "/" + name);
    }
}

// "integer", or a list of types of which the others are "null".
bool is_integer_only(const Json& schema) {
    const auto type = schema.find("type");
    if (type == schema.end()) {
        return false;
    }
    if (!type->is_array()) {
        return *type == "integer";
    }
    return std::ranges::any_of(*type, [](const Json& one) { return one == "integer"; }) &&
           std::ranges::all_of(*type,
                               [](const Json& one) { return one == "integer" || one == "null"; });
}

void check_keywords(const Json& schema, const std::string& where) {
    for (const char* keyword : kDroppedKeywords) {
        if (schema.contains(keyword) &&
            !(std::string_view(keyword) == "additionalItems" && schema[keyword] == true)) {
            refuse(where, std::string("uses '") + keyword + "'");
        }
    }
    if (schema.value("uniqueItems", false) == true) {
        refuse(where, "uses 'uniqueItems'");
    }
    if (!is_integer_only(schema)) {
        for (const char* bound : kBounds) {
            if (schema.contains(bound)) {
                refuse(where, std::string("bounds a non-integer with '") + bound + "'");
            }
        }
    }
    if (const auto pattern = schema.find("pattern");
        pattern != schema.end() && pattern->is_string() &&
        !platform::llama::pattern_supported(*pattern)) {
        refuse(where, "uses the pattern " + pattern->get<std::string>());
    }
    // The converter leaves out a required property it has no schema for.
    if (const auto required = schema.find("required");
        required != schema.end() && required->is_array()) {
        const Json properties = schema.value("properties", Json::object());
        for (const Json& name : *required) {
            if (name.is_string() && !properties.contains(name.get<std::string>())) {
                refuse(where, "requires '" + name.get<std::string>() +
                                  "' without a schema for it in 'properties'");
            }
        }
    }
}

void check(const Json& schema, const std::string& where) {
    if (!schema.is_object()) {
        return;
    }
    check_keywords(schema, where);
    for (const char* key : {"properties", "$defs", "definitions"}) {
        if (const auto found = schema.find(key); found != schema.end()) {
            check_members(*found, where + "/" + key);
        }
    }
    for (const char* key : {"prefixItems", "anyOf", "oneOf", "allOf"}) {
        if (const auto found = schema.find(key); found != schema.end()) {
            check_each(*found, where + "/" + key);
        }
    }
    for (const char* key : {"items", "additionalProperties"}) {
        if (const auto found = schema.find(key); found != schema.end()) {
            found->is_array() ? check_each(*found, where + "/" + key)
                              : check(*found, where + "/" + key);
        }
    }
}

}  // namespace

std::string json_object_grammar() {
    static const std::string grammar = platform::llama::schema_to_grammar(R"({"type":"object"})");
    return grammar;
}

std::string schema_grammar(const Json& schema) {
    if (!schema.is_object()) {
        throw InvalidValueError("A JSON schema must be an object");
    }
    check(schema, "#");
    return platform::llama::schema_to_grammar(schema.dump());
}

std::string grammar_of(std::string_view format) {
    if (format.empty()) {
        return {};
    }
    if (format == "json") {
        return json_object_grammar();
    }
    Json schema;
    try {
        schema = parse_answer(format);
    } catch (const Json::exception&) {
        throw InvalidValueError(
            "The format must be \"json\" or a JSON schema, and this is not valid JSON");
    }
    return schema_grammar(schema);
}

}  // namespace kestrune::inference::output_format
