#include "progress.hpp"

#include <gtest/gtest.h>

namespace kestrune::cli {
namespace {

TEST(Progress, TimeLeftReadsAsAClock) {
    EXPECT_EQ(clock_text(0), "0:00");
    EXPECT_EQ(clock_text(59.6), "1:00") << "rounded to the second";
    EXPECT_EQ(clock_text(65), "1:05");
    EXPECT_EQ(clock_text(3665), "1:01:05");
    EXPECT_EQ(clock_text(-3), "0:00") << "never negative";
}

}  // namespace
}  // namespace kestrune::cli
