#include "kestrune/engine/format.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using kestrune::engine::with_thousands_separator;

TEST(Format, ThousandsSeparatorGroupsFromTheRightAndKeepsTheSign) {
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
