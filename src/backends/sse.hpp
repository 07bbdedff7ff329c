// Server-sent events of OpenAI-compatible chat streams, turned into text pieces.
//
// Each line of the answer is read as it arrives and stripped of white space at both ends.
// Only lines beginning with "data: " count; "data: [DONE]" is skipped without ending the
// stream (the stream ends with the body). The payload is one JSON event whose piece is
// choices[0].delta.content; a missing delta or content, or a null content, gives no piece.
// An event without choices, with an empty choices array, or of another shape fails the
// stream. What a payload that is not JSON (bytes that are not UTF-8 included) does differs
// between servers, so the caller says.
#pragma once

#include <string>
#include <string_view>

#include "kestrune/core/stream.hpp"
#include "platform/net/http.hpp"

namespace kestrune::backends::sse {

// What a "data: " line whose payload is not valid JSON, or not valid UTF-8, does.
enum class OnMalformed {
    skip,  // the line is passed over and reading goes on
    fail,  // the stream fails with InvalidValueError at that line
};

// The content piece one raw line carries, or "" when it carries none. Throws RuntimeFailure
// for an event of unexpected shape, and InvalidValueError for a broken payload when
// `on_malformed` is fail.
std::string content_piece(std::string_view line, OnMalformed on_malformed);

// Sends `request` at the first pull and yields the content pieces of its answer in order.
// Transport failures (Unreachable, Timeout, StatusError) reach the consumer at the pull where
// they happen, after the pieces already delivered.
TextStream content_stream(platform::http::Request request, OnMalformed on_malformed);

}  // namespace kestrune::backends::sse
