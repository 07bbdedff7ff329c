// The routes that keep a server running rather than answer prompts, in the shapes llama.cpp's
// server gives them: /health, /metrics, /tokenize and /detokenize.
#pragma once

#include <string>

#include "platform/net/http_server.hpp"
#include "server/answer.hpp"
#include "server/metrics.hpp"

namespace kestrune::server::operations_api {

using platform::http_server::Request;
using platform::http_server::Response;

// {"status": "ok"} once the default model is loaded; 503 before.
Response health(bool ready);
Response metrics(const Metrics& metrics, const ModelPool& pool);
// {"content", "add_special" (false), "with_pieces" (false), "model"} → {"tokens": [...]}, with
// pieces [{"id", "piece"}], a piece that is not whole UTF-8 as its list of bytes.
Response tokenize(const ServeContext& context, const Request& request);
// {"tokens": [...], "model"} → {"content"}; an id outside the vocabulary is a 400.
Response detokenize(const ServeContext& context, const Request& request);

}  // namespace kestrune::server::operations_api
