// Typed reads from a request's JSON body. A wrong type or a value out of range is a
// RequestError (400) naming the field, so each API answers it in its own error shape.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "kestrune/core/messages.hpp"
#include "platform/llama/sampler.hpp"

namespace kestrune::server::fields {

// Compact JSON text; bytes that are not UTF-8 become U+FFFD instead of failing.
std::string to_text(const Json& value);

// No request needs more: tool schemas and content parts nest a few levels deep.
inline constexpr std::size_t kMaxBodyDepth = 64;
// The body as a JSON object; one nested deeper than kMaxBodyDepth is refused (400) before it is
// built.
Json parse_object(const std::string& body);

std::optional<std::string> text(const Json& object, std::string_view key);
std::string required_text(const Json& object, std::string_view key);
std::optional<double> number(const Json& object, std::string_view key);
std::optional<long long> integer(const Json& object, std::string_view key);
std::optional<bool> flag(const Json& object, std::string_view key);
// A duration as Ollama writes one: "5m", "1h30m", "90s", "500ms" or a count of seconds, with a
// "-" for a negative one (any negative duration is -1 s or less). Anything else is an
// InvalidValueError.
std::chrono::seconds duration(const std::string& text);
// Ollama's "keep_alive": a duration or a count of seconds (negative: for ever); absent when
// the request gives none.
std::optional<std::chrono::seconds> keep_alive(const Json& object);
// A text or a list of texts.
std::vector<std::string> texts(const Json& object, std::string_view key);
// A non-empty list of messages with a text role and content; content may also be a list of
// parts, whose "text" parts are joined, and is absent or null beside tool calls. Besides them
// a message keeps "tool_calls" (OpenAI's form, or Ollama's with arguments as an object: kept
// in OpenAI's, as JSON text), "tool_call_id", a tool's name ("name", or Ollama's "tool_name")
// and its reasoning ("reasoning_content", or Ollama's "thinking").
Messages messages(const Json& object, std::string_view key);
// The tools offered, in the form both APIs share:
// [{"type": "function", "function": {"name": …, "description": …, "parameters": {…}}}].
std::vector<ToolSpec> tools(const Json& object, std::string_view key);

// The tools at `key` in a dialect's own form (absent or null: none), each turned by `to_shared`
// into the shared form tools() reads.
std::vector<ToolSpec> tools(const Json& object, std::string_view key,
                            const std::function<Json(const Json& tool)>& to_shared);
// A limit of tokens to generate, read at `key`: at least 1 (else a 400), held to 2^30.
std::optional<int> token_limit(const Json& object, std::string_view key);

// The sampling controls both APIs name alike, read from `object` (OpenAI's body, Ollama's
// options) over what `sampling` holds: temperature [0, 2], top_p (0, 1], top_k (0: off),
// min_p [0, 1], typical_p (0, 1], repeat_penalty (> 0), presence_penalty and
// frequency_penalty [-2, 2], repeat_last_n (-1: the whole context, 0: penalties off) and seed
// (negative: a random one). A value out of its range is a 400 naming the field.
void sampling_controls(const Json& object, platform::llama::Sampling& sampling);
// OpenAI's logit_bias: {"token id": bias in [-100, 100]}; -100 bans the token.
std::vector<std::pair<platform::llama::Token, float>> logit_bias(const Json& object,
                                                                 std::string_view key);
// The grammar of the answers valid under `schema`, found at `key`; a schema constrained output
// cannot keep is a 400 naming the key and the part.
std::string schema_grammar(const Json& schema, std::string_view key);

}  // namespace kestrune::server::fields
