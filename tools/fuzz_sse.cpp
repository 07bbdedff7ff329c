// libFuzzer target for the server-sent event reader. The input is an answer body, cut into
// lines at line feeds as the HTTP layer cuts it, and every line is read under both rules for
// broken payloads. Each line must give a piece or fail as documented: RuntimeFailure for an
// event of the wrong shape, InvalidValueError for a broken payload only under the failing
// rule; both rules must agree on everything else, and every piece must be UTF-8 no longer
// than its line.
//
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DKESTRUNE_BUILD_FUZZ=ON \
//       -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF
//   cmake --build build/fuzz --target fuzz_sse
//   build/fuzz/tools/fuzz_sse -dict=tools/fuzz/sse.dict CORPUS_DIR tools/fuzz/sse
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "backends/sse.hpp"
#include "core/utf8.hpp"
#include "kestrune/core/errors.hpp"

namespace {

namespace sse = kestrune::backends::sse;

// What reading one line came to: a piece, or the kind of failure.
struct Outcome {
    std::optional<std::string> piece;
    bool shape_failure = false;
    bool broken_payload = false;
};

Outcome read_line(std::string_view line, sse::OnMalformed rule) {
    Outcome outcome;
    try {
        outcome.piece = sse::content_piece(line, rule);
    } catch (const kestrune::InvalidValueError&) {
        outcome.broken_payload = true;
    } catch (const kestrune::RuntimeFailure&) {
        outcome.shape_failure = true;
    }
    return outcome;
}

void check_line(std::string_view line) {
    const Outcome skipping = read_line(line, sse::OnMalformed::skip);
    const Outcome failing = read_line(line, sse::OnMalformed::fail);
    if (skipping.broken_payload) {
        __builtin_trap();
    }
    if (failing.broken_payload) {
        // Only a payload the skipping rule passed over may fail the stream.
        if (skipping.piece != std::string()) {
            __builtin_trap();
        }
        return;
    }
    if (skipping.piece != failing.piece || skipping.shape_failure != failing.shape_failure) {
        __builtin_trap();
    }
    const std::string& piece = skipping.piece.value_or("");
    if (piece.size() > line.size() || kestrune::utf8::valid_prefix(piece) != piece.size()) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    while (!body.empty()) {
        const std::size_t newline = body.find('\n');
        check_line(body.substr(0, newline));
        body.remove_prefix(newline == std::string_view::npos ? body.size() : newline + 1);
    }
    return 0;
}
