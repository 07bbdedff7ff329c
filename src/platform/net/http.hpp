// HTTP client on libcurl: whole-body exchanges and pull-based reading of open answers.
//
// Time-outs bound establishing the connection and each single wait for data, never the
// whole exchange: a slow but steady answer does not time out, a stalled one does.
// Failures are told apart because callers treat them differently:
//   Unreachable  — refused, name not resolved, or the connect time-out expired;
//   Timeout      — connected, then a wait for data exceeded the idle time-out;
//   StatusError  — the server answered with a status outside 2xx (status and body kept);
//   Cancelled    — the request's own `cancelled` check said to stop;
//   HttpError    — any other transport failure (the base of the four above).
// What is kept in memory is bounded: a whole answer, an error answer's body and one unfinished
// line each have a limit, so a misbehaving server cannot exhaust memory. Reading an open
// answer chunk by chunk (a download) keeps nothing and has no limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method = "GET";
    std::string url;
    Headers headers;
    std::string body;
    std::chrono::milliseconds connect_timeout{10'000};
    std::chrono::milliseconds idle_timeout{30'000};  // zero: wait for data without limit
    bool follow_redirects = true;
    std::size_t max_body = std::size_t{64} << 20;        // a whole answer, for fetch()
    std::size_t max_error_body = std::size_t{64} << 10;  // kept beyond: dropped, not read
    std::size_t max_line = std::size_t{16} << 20;        // one line, for next_line()
    // Asked at least every 100 ms while the exchange runs; true ends it with Cancelled.
    std::function<bool()> cancelled;
};

struct Response {
    long status = 0;
    Headers headers;
    std::string body;

    // The value of the first header with this name (case-insensitive), if any.
    std::optional<std::string> header(std::string_view name) const;
};

class HttpError : public RuntimeFailure {
  public:
    using RuntimeFailure::RuntimeFailure;
};

class Unreachable : public HttpError {
  public:
    using HttpError::HttpError;
};

class Timeout : public HttpError {
  public:
    using HttpError::HttpError;
};

class Cancelled : public HttpError {
  public:
    using HttpError::HttpError;
};

class StatusError : public HttpError {
  public:
    StatusError(long status, std::string body);
    long status() const { return status_; }
    const std::string& body() const { return body_; }

  private:
    long status_;
    std::string body_;
};

// ASCII letters and digits and "-_.~" stay (and "/" with keep_slash); every other byte of the
// UTF-8 form becomes "%" and two upper-case hexadecimal digits: a space is "%20".
std::string percent_encode(std::string_view text, bool keep_slash);

// The address as it may be shown: without user name, password, query and fragment, which
// can carry credentials.
std::string printable_url(const std::string& url);

// The address as a person may be shown it in full: the user name and password are left out
// and the value of every query parameter named like a credential ("token", "api_key",
// "X-Amz-Signature", ...) becomes "***".
std::string redacted_url(const std::string& url);

// "scheme://host:port" of the address, lower-case, the port filled in from the scheme; "" for
// a malformed address. Two addresses with one origin reach the same server.
std::string origin(const std::string& url);

// The text with the credential of every "Bearer " in it replaced by "***", so a server that
// echoes a request's Authorization header cannot put it into a message.
std::string mask_bearer_tokens(std::string_view text);

// Sends the request and reads the whole answer. Throws StatusError for a status outside 2xx
// and HttpError for a body longer than request.max_body.
Response fetch(const Request& request);

// An open answer read piece by piece on the caller's thread (no thread of its own).
// Opening sends the request and waits for the status line and headers; a status outside
// 2xx throws StatusError (with the body) from open(). Destroying it mid-answer closes the
// connection.
class ResponseStream {
  public:
    static ResponseStream open(const Request& request);

    ResponseStream(ResponseStream&&) noexcept;
    ResponseStream& operator=(ResponseStream&&) noexcept;
    ~ResponseStream();

    long status() const;
    const Headers& headers() const;
    std::optional<std::string> header(std::string_view name) const;

    // The next bytes of the body as they arrive, or nullopt at its end.
    std::optional<std::string> next_chunk();
    // The next line of the body without its "\n" (and without a "\r" before it), or nullopt
    // at the end. A last line without a newline is still returned. A line longer than
    // request.max_line is an HttpError.
    std::optional<std::string> next_line();

  private:
    struct State;
    explicit ResponseStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace kestrune::platform::http
