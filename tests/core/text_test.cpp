#include "core/text.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using kestrune::text::escape_controls;
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

TEST(Text, EscapeControlsWritesOutWhatATerminalWouldObey) {
    EXPECT_EQ(escape_controls("\x1b]0;owned\x07\x1b[2J\r\n"),
              "\\x1b]0;owned\\x07\\x1b[2J\\x0d\\x0a");
    EXPECT_EQ(escape_controls("a\x7f\xc2\x9b"
                              "31m"),
              "a\\x7f\\u009b31m");
    // Printable text, non-ASCII letters (U+00A0 and up) included, passes unchanged.
    EXPECT_EQ(escape_controls("Kestrune Tiny Chat \xc2\xa0\xc3\xa9 \xe2\x82\xac"),
              "Kestrune Tiny Chat \xc2\xa0\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(escape_controls("ends in \xc2"), "ends in \xc2");
}

}  // namespace
