// JSON schemas turned into the GBNF grammars llama.cpp's grammar sampler follows, by the
// converter of llama.cpp's common library (the one its server uses). Its headers stay in the
// source file.
#pragma once

#include <string>

namespace kestrune::platform::llama {

// The grammar of the answers that validate against `schema` (JSON text). A schema the
// converter refuses is an InvalidValueError with the converter's reason, which names where in
// the schema it stands ("JSON schema error at /properties/age: ...").
std::string schema_to_grammar(const std::string& schema);

// Whether the converter can keep a string to `pattern` (a regular expression): it turns only
// anchored patterns of its own subset into grammar rules and lets any string through for the
// rest.
bool pattern_supported(const std::string& pattern);

}  // namespace kestrune::platform::llama
