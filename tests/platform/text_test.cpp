#include "kestrune/platform/text.hpp"

#include <gtest/gtest.h>

namespace {

using kestrune::platform::text::strip_trailing_slashes;
using kestrune::platform::text::trim_whitespace;

TEST(Text, TrimWhitespaceKeepsInnerSpaces) {
    EXPECT_EQ(trim_whitespace(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim_whitespace(" \n\t"), "");
    EXPECT_EQ(trim_whitespace("x"), "x");
}

TEST(Text, StripTrailingSlashesLeavesTheRestOfTheAddress) {
    EXPECT_EQ(strip_trailing_slashes("http://host:1234//"), "http://host:1234");
    EXPECT_EQ(strip_trailing_slashes("http://host/v1"), "http://host/v1");
}

}  // namespace
