#include "core/stop_texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

// Feeds the pieces one by one and returns everything passed on, flush included.
std::string through(StopTexts& stops, const std::vector<std::string>& pieces) {
    std::string out;
    for (const auto& piece : pieces) {
        out += stops.push(piece);
    }
    return out + stops.flush();
}

TEST(StopTexts, EndsTheTextAtAStopTextSplitAcrossPieces) {
    StopTexts stops({"<end_of_turn>", "<|im_end|>"});
    EXPECT_EQ(stops.push("Hello <end_"), "Hello ");
    EXPECT_FALSE(stops.stopped());
    EXPECT_EQ(stops.push("of_turn>\n<start"), "");
    EXPECT_TRUE(stops.stopped());
    EXPECT_EQ(stops.push("more"), "");
    EXPECT_EQ(stops.flush(), "");
}

TEST(StopTexts, ReleasesHeldTextThatDidNotBecomeAStopText) {
    StopTexts stops({"<|im_end|>"});
    EXPECT_EQ(through(stops, {"a <|im", "_start|> b", " <|i"}), "a <|im_start|> b <|i");
    EXPECT_FALSE(stops.stopped());
}

TEST(StopTexts, TheEarliestOfSeveralStopTextsWins) {
    StopTexts stops({"</s>", "User:"});
    EXPECT_EQ(stops.push("yes User: no </s>"), "yes ");
    EXPECT_TRUE(stops.stopped());
    EXPECT_EQ(stops.matched(), "User:") << "the one that ended the text, not the first listed";
}

TEST(StopTexts, WithoutStopTextsEverythingPassesAtOnce) {
    StopTexts stops({"", ""});
    EXPECT_EQ(stops.push("<|im_end|>"), "<|im_end|>");
    EXPECT_FALSE(stops.stopped());
}

TEST(StopTexts, AStopTextAtTheVeryStartLeavesNothing) {
    StopTexts stops({"<|im_end|>"});
    EXPECT_EQ(through(stops, {"<|im_end|>tail"}), "");
    EXPECT_TRUE(stops.stopped());
}

}  // namespace
}  // namespace kestrune
