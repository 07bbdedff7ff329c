#include "platform/llama/grammar.hpp"

#include <json-schema-to-grammar.h>

#include <stdexcept>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::platform::llama {

std::string schema_to_grammar(const std::string& schema) {
    try {
        // force_gbnf: a GBNF grammar even where llama.cpp was built with llguidance.
        return json_schema_to_grammar(common_json::parse(schema), true);
    } catch (const common_json_error& error) {
        throw InvalidValueError(std::string("The JSON schema is not valid JSON: ") + error.what());
    } catch (const std::exception& error) {
        throw InvalidValueError(error.what());
    }
}

bool pattern_supported(const std::string& pattern) {
    // A pattern the converter cannot follow becomes the rule of any string: the grammar then
    // reads as that of another such pattern (one not anchored).
    static const std::string any_string = schema_to_grammar(R"({"type":"string","pattern":"x"})");
    return schema_to_grammar(Json{{"type", "string"}, {"pattern", pattern}}.dump()) != any_string;
}

}  // namespace kestrune::platform::llama
