#include "backends/sse.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "support/openai_test_server.hpp"

namespace kestrune::backends::sse {
namespace {

using testing::OpenAITestServer;
using testing::sse_delta;
namespace http = platform::http;

std::string piece(std::string_view line) {
    return content_piece(line, OnMalformed::fail);
}

http::Request stream_request(const std::string& url,
                             std::chrono::milliseconds idle = std::chrono::seconds(10)) {
    http::Request request;
    request.method = "POST";
    request.url = url + "/v1/chat/completions";
    request.body = "{}";
    request.connect_timeout = idle;
    request.idle_timeout = idle;
    return request;
}

std::vector<std::string> pull_all(TextStream& stream) {
    std::vector<std::string> pieces;
    for (const auto& each : stream) {
        pieces.push_back(each);
    }
    return pieces;
}

TEST(SseContentPiece, ReadsOnlyDataLinesAndTheirDelta) {
    EXPECT_EQ(piece(R"(data: {"choices":[{"delta":{"content":"Hi"}}]})"), "Hi");
    // Surrounding white space, the CR of CRLF framing included, is not part of the line.
    EXPECT_EQ(piece("  data: {\"choices\":[{\"delta\":{\"content\":\" there \"}}]}\r"), " there ");
    EXPECT_EQ(piece(R"(data: {"choices":[{"delta":{"content":"caf\u00e9"}}]})"), "caf\xc3\xa9");

    EXPECT_EQ(piece(""), "");
    EXPECT_EQ(piece(": keep-alive comment"), "");
    EXPECT_EQ(piece("event: message"), "");
    EXPECT_EQ(piece(R"(data:{"choices":[{"delta":{"content":"no space"}}]})"), "");
    EXPECT_EQ(piece("data: [DONE]"), "");
    EXPECT_EQ(piece("  data: [DONE]  "), "");

    EXPECT_EQ(piece(R"(data: {"choices":[{"index":0}]})"), "");
    EXPECT_EQ(piece(R"(data: {"choices":[{"delta":{}}]})"), "");
    EXPECT_EQ(piece(R"(data: {"choices":[{"delta":{"role":"assistant","content":null}}]})"), "");
}

TEST(SseContentPiece, EventsOfUnexpectedShapeFail) {
    EXPECT_THROW(piece(R"(data: {"choices":[]})"), RuntimeFailure);
    EXPECT_THROW(piece(R"(data: {"id":"x"})"), RuntimeFailure);
    EXPECT_THROW(piece(R"(data: {"choices":["text"]})"), RuntimeFailure);
    EXPECT_THROW(piece(R"(data: {"choices":[{"delta":"text"}]})"), RuntimeFailure);
    EXPECT_THROW(piece(R"(data: {"choices":[{"delta":{"content":7}}]})"), RuntimeFailure);
    EXPECT_THROW(piece("data: 42"), RuntimeFailure);
}

TEST(SseContentPiece, BrokenPayloadIsSkippedOrFailsAsChosen) {
    const std::string broken = R"(data: {"choices":[{"delta":)";
    EXPECT_EQ(content_piece(broken, OnMalformed::skip), "");
    EXPECT_THROW(content_piece(broken, OnMalformed::fail), InvalidValueError);
    // A broken payload is still a data line: the shape rules do not apply to it.
    EXPECT_EQ(content_piece("data: not json", OnMalformed::skip), "");
}

TEST(SseContentPiece, DecodesTheContentAndValidatesTheWholeEvent) {
    EXPECT_EQ(
        piece(R"(data: {"choices":[{"delta":{"content":"a\"b\\c\/d\n\t\u0041\ud83d\ude00"}}]})"),
        "a\"b\\c/d\n\tA\xf0\x9f\x98\x80");
    // Only the first choice counts, whatever surrounds it.
    EXPECT_EQ(piece(R"(data: { "id" : "x", "n": -1.5e+3, "ok": [true, false, null, {}],)"
                    R"( "choices" : [ {"delta": {"role":"assistant","content":"first"},)"
                    R"( "logprobs": {"content": [1, 2]}}, {"delta": {"content":"second"}} ] })"),
              "first");
    // A repeated key replaces the earlier one, as in a parsed document.
    EXPECT_EQ(piece(R"(data: {"choices":[{"delta":{"content":"old"}}],"choices":[{"delta":{}}]})"),
              "");

    for (const char* broken : {R"(data: {"choices":[{"delta":{"content":"x"}}]} trailing)",
                               R"(data: {"choices":[{"delta":{"content":"\ud83d"}}]})",
                               R"(data: {"choices":[{"delta":{"content":"\x"}}]})",
                               "data: {\"choices\":[{\"delta\":{\"content\":\"tab\there\"}}]}",
                               R"(data: {"n": 01})", R"(data: {"n": 1.})", R"(data: {"a" 1})",
                               R"(data: [1,])", R"(data: tru)", R"(data: {"a":1}})"}) {
        EXPECT_THROW(piece(broken), InvalidValueError) << broken;
    }
    const std::string deep = "data: " + std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THROW(piece(deep), InvalidValueError);
}

TEST(SseContentPiece, PayloadThatIsNotUtf8IsBrokenUnderEitherRule) {
    const std::string event = R"(data: {"choices":[{"delta":{"content":")";
    for (const std::string& bad :
         {event + "a\xff\"}}]}",                                  // a byte no character has
          event + "\xc0\xaf\"}}]}",                               // an overlong form
          event + "\xed\xa0\x80\"}}]}",                           // a surrogate
          event + "\xe2\x82\"}}]}",                               // a character cut short
          std::string("data: {\"id\":\"\xfe\",\"choices\":[]}"),  // elsewhere
          std::string("data: \x80")}) {
        EXPECT_EQ(content_piece(bad, OnMalformed::skip), "") << bad;
        EXPECT_THROW(content_piece(bad, OnMalformed::fail), InvalidValueError) << bad;
    }
    EXPECT_EQ(piece(event + "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\"}}]}"),
              "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");
    EXPECT_EQ(piece(": comment \xff"), "") << "only data lines are read";
}

TEST(SseContentStream, LinesThatAreNotUtf8NeverBecomePieces) {
    OpenAITestServer server;
    const std::string bad = "data: {\"choices\":[{\"delta\":{\"content\":\"\xff\"}}]}\n\n";
    server.stream_chat({sse_delta("a"), bad, sse_delta("b")});
    TextStream lenient = content_stream(stream_request(server.url()), OnMalformed::skip);
    EXPECT_EQ(pull_all(lenient), (std::vector<std::string>{"a", "b"}));

    TextStream strict = content_stream(stream_request(server.url()), OnMalformed::fail);
    EXPECT_EQ(strict.next(), "a");
    EXPECT_THROW(strict.next(), InvalidValueError);
}

TEST(SseContentStream, ReadsEventsSplitAcrossChunksAndGoesOnAfterDone) {
    OpenAITestServer server;
    const std::string first = sse_delta("Hel");
    server.stream_chat({": comment\n\n", first.substr(0, 10), first.substr(10),
                        sse_delta("lo") + "data: [DONE]\n\n", "data: {broken\n\n",
                        "event: late\n" + sse_delta(" world")});

    TextStream stream = content_stream(stream_request(server.url()), OnMalformed::skip);
    EXPECT_TRUE(server.requests().empty()) << "nothing is sent before the first pull";
    EXPECT_EQ(pull_all(stream), (std::vector<std::string>{"Hel", "lo", " world"}));
    EXPECT_EQ(server.requests().size(), 1U);
}

TEST(SseContentStream, FailuresReachTheConsumerAfterTheDeliveredPieces) {
    OpenAITestServer server;
    server.stream_chat({sse_delta("a"), "data: {broken\n\n", sse_delta("b")});
    TextStream strict = content_stream(stream_request(server.url()), OnMalformed::fail);
    EXPECT_EQ(strict.next(), "a");
    EXPECT_THROW(strict.next(), InvalidValueError);
    EXPECT_EQ(strict.next(), std::nullopt);

    OpenAITestServer shapeless;
    shapeless.stream_chat({sse_delta("a"), "data: {\"choices\":[]}\n\n", sse_delta("b")});
    TextStream lenient = content_stream(stream_request(shapeless.url()), OnMalformed::skip);
    EXPECT_EQ(lenient.next(), "a");
    EXPECT_THROW(lenient.next(), RuntimeFailure);
}

TEST(SseContentStream, TransportFailuresSurfaceAtThePull) {
    OpenAITestServer refusing;
    refusing.answer_chat(R"({"error":{"message":"model not found"}})", 404);
    TextStream refused = content_stream(stream_request(refusing.url()), OnMalformed::skip);
    try {
        refused.next();
        FAIL() << "an error status must fail the stream";
    } catch (const http::StatusError& error) {
        EXPECT_EQ(error.status(), 404);
        EXPECT_NE(error.body().find("model not found"), std::string::npos);
    }

    TextStream unreachable =
        content_stream(stream_request("http://127.0.0.1:" + std::to_string(testing::closed_port())),
                       OnMalformed::skip);
    EXPECT_THROW(unreachable.next(), http::Unreachable);

    OpenAITestServer stalled;
    stalled.stream_chat({sse_delta("first")}, /*stall=*/true);
    TextStream waiting = content_stream(
        stream_request(stalled.url(), std::chrono::milliseconds(500)), OnMalformed::skip);
    EXPECT_EQ(waiting.next(), "first");
    EXPECT_THROW(waiting.next(), http::Timeout);
}

}  // namespace
}  // namespace kestrune::backends::sse
