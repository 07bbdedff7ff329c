// What an answer must look like, as the doors ask for it (any JSON object, or a JSON schema),
// turned into the grammar the sampler keeps the answer to (Sampling::grammar).
//
// Nothing is ignored without a word: a schema keyword whose constraint the converter would drop
// (the answer could then break it) is refused with an InvalidValueError naming the keyword and
// where it stands, e.g. "The JSON schema at /properties/tags uses 'uniqueItems', which
// constrained output cannot keep". Annotations (title, description, format, examples, ...) are
// not constraints and pass.
#pragma once

#include <string>
#include <string_view>

#include "core/json.hpp"

namespace kestrune::inference::output_format {

// The grammar of any JSON object.
std::string json_object_grammar();

// The grammar of the answers that validate against `schema`.
std::string schema_grammar(const Json& schema);

// The command line's and the library's form: "" (free text, no grammar), "json" (any JSON
// object) or the text of a JSON schema.
std::string grammar_of(std::string_view format);

}  // namespace kestrune::inference::output_format
