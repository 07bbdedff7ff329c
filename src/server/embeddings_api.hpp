// Embeddings in both APIs' shapes: OpenAI's POST /v1/embeddings, Ollama's POST /api/embed and
// its older POST /api/embeddings. Each input is one unit-length vector from the model's own
// pooling (the mean of its tokens for a model that names none).
#pragma once

#include <memory>

#include "platform/net/http_server.hpp"
#include "server/answer.hpp"

namespace kestrune::server::embeddings_api {

using platform::http_server::Request;
using platform::http_server::Response;

// {"model", "input": a text, texts, token ids or lists of them, "encoding_format" ("float" or
// "base64"), "dimensions"} → {"object": "list", "data": [{"object": "embedding", "index",
// "embedding"}], "model", "usage"}. An input beyond the context is a 400.
Response openai(const ServeContext& context, const Request& request,
                const std::shared_ptr<AccessNote>& note);
// {"model", "input": a text or texts, "truncate" (true: an input beyond the context is cut),
// "dimensions"} → {"model", "embeddings", "total_duration", "load_duration",
// "prompt_eval_count"}.
Response ollama(const ServeContext& context, const Request& request,
                const std::shared_ptr<AccessNote>& note);
// {"model", "prompt"} → {"embedding"}.
Response ollama_legacy(const ServeContext& context, const Request& request,
                       const std::shared_ptr<AccessNote>& note);

}  // namespace kestrune::server::embeddings_api
