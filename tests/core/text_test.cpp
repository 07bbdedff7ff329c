#include "core/text.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using kestrune::text::strip_trailing_slashes;
using kestrune::text::trim_whitespace;
using kestrune::text::with_thousands_separator;

TEST(Text, TrimWhitespaceKeepsInnerSpaces) {
    EXPECT_EQ(trim_whitespace(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim_whitespace(" \n\t"), "");
    EXPECT_EQ(trim_whitespace("x"), "x");
}

TEST(Text, StripTrailingSlashesLeavesTheRestOfTheAddress) {
    EXPECT_EQ(strip_trailing_slashes("http://host:1234//"), "http://host:1234");
    EXPECT_EQ(strip_trailing_slashes("http://host/v1"), "http://host/v1");
}

TEST(Text, ThousandsSeparatorGroupsFromTheRightAndKeepsTheSign) {
    EXPECT_EQ(with_thousands_separator(0), "0");
    EXPECT_EQ(with_thousands_separator(999), "999");
    EXPECT_EQ(with_thousands_separator(4096), "4,096");
    EXPECT_EQ(with_thousands_separator(131072), "131,072");
    EXPECT_EQ(with_thousands_separator(1000000), "1,000,000");
    EXPECT_EQ(with_thousands_separator(-123456), "-123,456");
    EXPECT_EQ(with_thousands_separator(std::numeric_limits<std::int64_t>::min()),
              "-9,223,372,036,854,775,808");
}

}  // namespace
