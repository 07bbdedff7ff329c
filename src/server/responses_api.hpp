// OpenAI's Responses API: POST /v1/responses, whole or streamed as its typed events
// (response.created, response.output_item.added, response.output_text.delta,
// response.function_call_arguments.delta, response.completed, …). Stateless: nothing is
// stored, so a request must carry the whole conversation.
#pragma once

#include <memory>

#include "core/json.hpp"
#include "platform/net/http_server.hpp"
#include "server/answer.hpp"

namespace kestrune::server::responses_api {

using platform::http_server::Request;
using platform::http_server::Response;

Response responses(const ServeContext& context, const Request& request,
                   const std::shared_ptr<AccessNote>& note);

// The request in the core's terms: "input" (a text, or items: messages whose content is a text
// or input_text/output_text parts, function_call and function_call_output; reasoning items are
// dropped), "instructions" (a system message first), "max_output_tokens", "temperature",
// "top_p", "tools" (functions), "tool_choice", "parallel_tool_calls", "reasoning" (asks a
// thinking model to think), "text.format" (json_object or json_schema). "previous_response_id"
// is a 400: no response is kept.
AnswerRequest answer_request(const Json& body, const ServeContext& context);

}  // namespace kestrune::server::responses_api
