// The Ollama API: /api/version, /api/tags, /api/show, /api/ps, /api/chat and /api/generate
// (streamed as one JSON object a line unless "stream" is false), failures as {"error": "..."}.
#pragma once

#include <memory>
#include <string>

#include "core/json.hpp"
#include "platform/net/http_server.hpp"
#include "server/answer.hpp"

namespace kestrune::server::ollama_api {

using platform::http_server::Request;
using platform::http_server::Response;

// The version of Ollama's API these endpoints follow.
inline constexpr const char* kApiVersion = "0.6.0";

Response error(int status, const std::string& message);
Response version();
Response tags(const ServeContext& context);
Response show(const ServeContext& context, const Request& request);
Response ps(const ServeContext& context);
// {"model", "stream" (true)}: the model downloaded into Kestrune's cache unless it is on this
// machine already, with Ollama's progress lines ("pulling manifest", "pulling FILE" with
// "total" and "completed", then "success"). Without `allowed` (--allow-pull), a 403.
Response pull(const ServeContext& context, const Request& request, bool allowed);
// DELETE {"model": name}: the model's files gone from Kestrune's own cache (unloaded first);
// 404 when the cache holds none by that name. Other runtimes' stores are never touched.
Response remove(const ServeContext& context, const Request& request);
Response chat(const ServeContext& context, const Request& request,
              const std::shared_ptr<AccessNote>& note);
Response generate(const ServeContext& context, const Request& request,
                  const std::shared_ptr<AccessNote>& note);

// The request's settings: "options" ("num_predict", "temperature", "top_p", "top_k", "seed",
// "stop"; "num_ctx" is the server's to choose), "think", for /api/chat "tools", and for
// /api/generate "system" and "raw".
AnswerRequest answer_request(const Json& body, const ServeContext& context, bool chat);

// The message of a chat line: "content", "thinking" when there is reasoning, and "tool_calls"
// ([{"function": {"name": …, "arguments": {…}}}]) when there are calls.
Json reply_message(const Answer::Delta& piece, const std::vector<ToolCall>& calls = {});

}  // namespace kestrune::server::ollama_api
