#include "progress.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/output.hpp"
#include "support/terminal.hpp"

namespace kestrune::cli {
namespace {

TEST(Progress, TimeLeftReadsAsAClock) {
    EXPECT_EQ(clock_text(0), "0:00");
    EXPECT_EQ(clock_text(59.6), "1:00") << "rounded to the second";
    EXPECT_EQ(clock_text(65), "1:05");
    EXPECT_EQ(clock_text(3665), "1:01:05");
    EXPECT_EQ(clock_text(-3), "0:00") << "never negative";
}

TEST(Progress, TheLibrarysDownloadsAreDrawnOnATerminalOnly) {
    draw_download_progress();
    auto download = [] {
        const long long total = 300 * 1024;
        for (long long done = 0; done <= total; done += 100 * 1024) {
            output::report_download({.label = "model-Q4_K_M.gguf",
                                     .total = total,
                                     .done = done,
                                     .finished = done == total});
        }
    };
    const std::string shown = testing::stderr_on_a_terminal(download);
    EXPECT_THAT(shown, ::testing::HasSubstr("model-Q4_K_M.gguf ["));
    EXPECT_THAT(shown, ::testing::HasSubstr("100%"));
    EXPECT_THAT(shown, ::testing::HasSubstr("0.3/0.3 MB"));
    EXPECT_THAT(shown, ::testing::HasSubstr("MB/s"));
    EXPECT_THAT(shown, ::testing::HasSubstr("0:00 left"));
    ::testing::internal::CaptureStderr();
    download();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "not a terminal: nothing drawn";
    set_download_progress({});
}

}  // namespace
}  // namespace kestrune::cli
