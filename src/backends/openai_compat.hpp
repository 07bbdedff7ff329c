// The OpenAI-compatible HTTP API as the LM Studio, vLLM and remote adapters speak it:
// "/v1/models" listings and "/v1/chat/completions", whole or streamed.
//
// Each adapter passes its own base address (no trailing "/"), the headers it sends and its
// time-outs, which bound establishing the connection and each single wait for data.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "backends/sse.hpp"
#include "core/json.hpp"
#include "kestrune/backends/base.hpp"
#include "kestrune/core/messages.hpp"
#include "kestrune/core/stream.hpp"
#include "platform/net/http.hpp"

namespace kestrune::backends::openai_compat {

using platform::http::Headers;

// The one header a JSON request carries.
Headers json_headers();

// The chat request body: model, messages, max_tokens, temperature, stream — in this order.
Json chat_body(const std::string& model, const Messages& messages, const GenerationConfig& config,
               bool stream);

// GET host + "/v1/models" without a body.
platform::http::Request models_request(const std::string& host, const Headers& headers,
                                       std::chrono::milliseconds timeout);

// GET host + "/v1/models", read whole and parsed. Throws the http failures, and
// InvalidValueError for a body that is not JSON.
Json fetch_models(const std::string& host, const Headers& headers,
                  std::chrono::milliseconds timeout);

// The `data` array of a models answer (empty when missing). Throws RuntimeFailure when the
// answer is not an object or `data` is not an array.
const Json& models_data(const Json& answer);

// Appends one entry per element of `data`, in order, named by its `id`. Throws
// RuntimeFailure at the first element without a textual `id`, keeping those before it.
void append_model_entries(const Json& answer, const std::string& backend,
                          std::vector<ModelEntry>& entries);

// POST host + "/v1/chat/completions" with stream false; returns the content of the first
// choice's message ("" for null). Throws the http failures, InvalidValueError for a body that
// is not JSON and RuntimeFailure for an answer of another shape.
std::string chat(const std::string& host, const Headers& headers, std::chrono::milliseconds timeout,
                 const std::string& model, const Messages& messages,
                 const GenerationConfig& config);

// The same request with stream true, sent at the first pull; yields the content deltas.
TextStream stream(const std::string& host, const Headers& headers,
                  std::chrono::milliseconds timeout, const std::string& model,
                  const Messages& messages, const GenerationConfig& config,
                  sse::OnMalformed on_malformed);

}  // namespace kestrune::backends::openai_compat
