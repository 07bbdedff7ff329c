#include "kestrune/core/messages.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using kestrune::ToolCall;

const std::vector<ToolCall> calls = {{"search", R"({"q":"x"})", "call_1"}, {"time", "{}", ""}};

TEST(OpenAiToolCalls, WritesEachCallInOrderWithArgumentsAsText) {
    EXPECT_EQ(kestrune::openai_tool_calls(calls).dump(),
              R"([{"id":"call_1","type":"function","function":{"name":"search",)"
              R"("arguments":"{\"q\":\"x\"}"}},)"
              R"({"id":"","type":"function","function":{"name":"time","arguments":"{}"}}])");
    EXPECT_EQ(kestrune::openai_tool_calls({}).dump(), "[]");
}

TEST(OpenAiToolCalls, IndexedCallsOpenWithTheirPlace) {
    const kestrune::Json written = kestrune::openai_tool_calls(calls, true);
    ASSERT_EQ(written.size(), 2U);
    EXPECT_EQ(written[1].begin().key(), "index");
    EXPECT_EQ(written[0]["index"], 0);
    EXPECT_EQ(written[1]["index"], 1);
    EXPECT_EQ(written[1]["function"]["name"], "time");
}

}  // namespace
