#include "core/json.hpp"

#include <gtest/gtest.h>

namespace {

TEST(DumpAscii, KeepsKeyOrderAndEscapesEverythingBeyondAscii) {
    kestrune::Json body;
    body["model"] = "m";
    body["prompt"] = "caf\xc3\xa9 \xf0\x9f\x98\x80";
    body["stream"] = false;
    EXPECT_EQ(kestrune::dump_ascii(body),
              R"({"model":"m","prompt":"caf\u00e9 \ud83d\ude00","stream":false})");
}

TEST(DumpAscii, ReplacesInvalidUtf8InsteadOfFailing) {
    kestrune::Json body = {{"text", std::string("a\xff")}};
    EXPECT_EQ(kestrune::dump_ascii(body), R"({"text":"a\ufffd"})");
}

}  // namespace
