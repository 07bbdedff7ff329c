// HTTP client on libcurl: whole-body exchanges and pull-based reading of open answers.
//
// Time-outs bound establishing the connection and each single wait for data, never the
// whole exchange: a slow but steady answer does not time out, a stalled one does.
// Failures are told apart because callers treat them differently:
//   Unreachable  — refused, name not resolved, or the connect time-out expired;
//   Timeout      — connected, then a wait for data exceeded the idle time-out;
//   StatusError  — the server answered with a status outside 2xx (status and body kept);
//   HttpError    — any other transport failure (the base of the three above).
#pragma once

#include <chrono>
#include <cstddef>
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

// Sends the request and reads the whole answer. Throws StatusError for a status outside 2xx.
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
    // at the end. A last line without a newline is still returned.
    std::optional<std::string> next_line();

  private:
    struct State;
    explicit ResponseStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace kestrune::platform::http
