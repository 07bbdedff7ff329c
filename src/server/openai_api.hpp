// The OpenAI API: GET /v1/models, POST /v1/chat/completions and /v1/completions, whole or
// streamed as server-sent events ending in "data: [DONE]", failures as {"error": {...}}.
#pragma once

#include <memory>
#include <string>

#include "core/json.hpp"
#include "platform/net/http_server.hpp"
#include "server/answer.hpp"

namespace kestrune::server::openai_api {

using platform::http_server::Request;
using platform::http_server::Response;

Response error(int status, const std::string& message);
Response models(const ServeContext& context);
Response chat_completions(const ServeContext& context, const Request& request,
                          const std::shared_ptr<AccessNote>& note);
Response completions(const ServeContext& context, const Request& request,
                     const std::shared_ptr<AccessNote>& note);

// The request's generation settings ("max_tokens" or "max_completion_tokens", "temperature",
// "top_p", "seed", "stop"), and for a chat the tools offered ("tools", unless "tool_choice" is
// "none"; "auto" is the only other choice) and "chat_template_kwargs": {"enable_thinking"}.
AnswerRequest answer_request(const Json& body, const ServeContext& context, bool chat);

// The assistant's message of a whole chat answer: content (null beside tool calls when empty),
// "reasoning_content" when the model thought first, and "tool_calls" when it asked for any.
Json reply_message(const ChatReply& reply);
// The calls of a reply as a stream chunk's "tool_calls": each with its "index".
Json tool_call_deltas(const ChatReply& reply);

}  // namespace kestrune::server::openai_api
