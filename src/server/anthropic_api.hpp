// The Anthropic Messages API: POST /v1/messages, whole or streamed as its named server-sent
// events (message_start, content_block_start/delta/stop, message_delta, message_stop), and
// POST /v1/messages/count_tokens; failures as {"type": "error", "error": {"type", "message"}}.
#pragma once

#include <memory>
#include <string>

#include "core/json.hpp"
#include "platform/net/http_server.hpp"
#include "server/answer.hpp"

namespace kestrune::server::anthropic_api {

using platform::http_server::Request;
using platform::http_server::Response;

// Whether `path` is one of this API's, so that its failures take this API's shape.
bool owns(const std::string& path);

Response error(int status, const std::string& message);
Response messages(const ServeContext& context, const Request& request,
                  const std::shared_ptr<AccessNote>& note);
// {"input_tokens": …}: the conversation as the model's template renders it, tools included.
Response count_tokens(const ServeContext& context, const Request& request);

// The request in the core's terms: "system" (a text or text blocks), "messages" whose content
// is a text or blocks ("text", "thinking", "tool_use" of the assistant, "tool_result" of the
// user), "tools" with their "input_schema", "tool_choice" ("auto", "any", "tool" with its
// "name", "none"; "disable_parallel_tool_use"), "thinking" ("enabled" or "disabled"),
// "max_tokens" (required unless `counting`), "stop_sequences", "temperature", "top_p" and
// "top_k".
AnswerRequest answer_request(const Json& body, const ServeContext& context, bool counting);

}  // namespace kestrune::server::anthropic_api
