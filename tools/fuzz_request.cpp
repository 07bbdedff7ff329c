// libFuzzer target for the server's request reader: the input is what a client sends on one
// connection (heads, bodies in any framing, pipelined requests), read by the HTTP server from
// memory, judged by the server's door rules (Host, key, body type, CORS) and, on the JSON
// route, parsed as the routes parse bodies. Every answer must be a well-formed status line with
// a status the door and the routes give, and nothing a client sent may reach the log unescaped.
//
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DKESTRUNE_BUILD_FUZZ=ON \
//       -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF
//   cmake --build build/fuzz --target fuzz_request
//   build/fuzz/tools/fuzz_request -dict=tools/fuzz/request.dict CORPUS_DIR tools/fuzz/request
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/http_server.hpp"
#include "server/door.hpp"

namespace {

namespace http = kestrune::platform::http_server;
namespace door = kestrune::server::door;

http::Response text_answer(int status, const std::string& text) {
    return {.status = status, .content_type = "text/plain", .body = text, .stream = {}};
}

// What the route does with a body: the parse every JSON route starts with.
http::Response parse_body(const http::Request& request) {
    try {
        const kestrune::Json body = kestrune::parse_answer(request.body, true, 64);
        return text_answer(body.is_object() ? 200 : 400, "parsed");
    } catch (const kestrune::Json::exception&) {
        return text_answer(400, "not JSON");
    } catch (const kestrune::InvalidValueError&) {
        return text_answer(400, "nested too deeply");
    }
}

void check_loggable(std::string_view text) {
    const std::string shown = door::loggable(text);
    for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            __builtin_trap();
        }
    }
}

std::optional<http::Response> admission(const http::Request& head) {
    check_loggable(head.method);
    check_loggable(head.path);
    for (const auto& [name, value] : head.headers) {
        check_loggable(value);
    }
    if (!door::host_allowed(head, "127.0.0.1", {"my.box"})) {
        return text_answer(403, "host");
    }
    if (!door::authorised(head, "s3cret") && head.method != "OPTIONS") {
        return text_answer(401, "key");
    }
    if (!door::json_body(head)) {
        return text_answer(415, "type");
    }
    return std::nullopt;
}

http::Server& server() {
    static http::Server* serving = [] {
        auto* made = new http::Server(
            {.host = "127.0.0.1",
             .port = 0,
             .max_body_bytes = 64 * 1024,
             .answer_headers =
                 [](const http::Request& request) {
                     return door::cors_headers(request, {"https://app.example"});
                 }},
            [](const http::Request&, int status, const std::string& message) {
                return text_answer(status, message);
            },
            admission);
        made->route("POST", "/v1/chat/completions", parse_body);
        made->route("GET", "/v1/models",
                    [](const http::Request&) { return text_answer(200, "models"); });
        made->route("OPTIONS", "/v1/chat/completions",
                    [](const http::Request&) { return text_answer(204, ""); });
        made->bind();
        made->start();
        return made;
    }();
    return *serving;
}

// Every status line the door, the routes and the library may answer with.
bool expected_status(int status) {
    static const std::set<int> statuses = {100, 200, 204, 400, 401, 403, 404, 405,
                                           408, 413, 414, 415, 416, 431, 500, 503};
    return statuses.contains(status);
}

void check_answers(std::string_view written) {
    constexpr std::string_view kStatusLine = "HTTP/1.1 ";
    for (std::size_t at = written.find(kStatusLine); at != std::string_view::npos;
         at = written.find(kStatusLine, at + 1)) {
        const std::string_view code = written.substr(at + kStatusLine.size(), 3);
        if (code.size() != 3) {
            __builtin_trap();
        }
        if (!expected_status(std::stoi(std::string(code)))) {
            __builtin_trap();
        }
    }
    if (!written.empty() && !written.starts_with(kStatusLine)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view sent(reinterpret_cast<const char*>(data), size);
    check_answers(server().answer_bytes(sent));
    return 0;
}
