// The rules every request meets at the server's door, before any route reads it: the key, the
// Host a page may have re-resolved, the body type a page could send without asking, CORS, and
// what of a request may reach the operator's terminal.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/net/http_server.hpp"

namespace kestrune::server::door {

namespace http = platform::http_server;

// Whether the request carries `api_key` (none asked for when it is empty) as
// "Authorization: Bearer KEY" (the scheme in any case) or "x-api-key: KEY", compared in a time
// that tells a guess nothing.
bool authorised(const http::Request& request, const std::string& api_key);

// Whether a request may be answered by a server listening on `served`: on a loopback address
// only requests that name this machine (or a name the operator allowed) are.
bool host_allowed(const http::Request& request, const std::string& served,
                  const std::vector<std::string>& allowed);

// A body a web page can send without asking first (a form, text/plain) must not reach a
// model: JSON routes take application/json only.
bool json_body(const http::Request& request);

// The CORS headers of an answer: a page's script may read it only when its origin is one of
// this machine's or one the operator allowed (`allowed` may hold "*"); a preflight is told
// what may be sent.
std::vector<std::pair<std::string, std::string>> cors_headers(
    const http::Request& request, const std::vector<std::string>& allowed);

// What a client sent, fit for the operator's terminal: control characters written out (no
// escape sequence or forged line reaches the log) and the length capped.
std::string loggable(std::string_view text);

}  // namespace kestrune::server::door
