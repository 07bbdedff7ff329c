#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kestrune/core/output.hpp"

namespace kestrune::cli {

namespace {

constexpr double kMb = 1048576.0;
constexpr int kWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

ProgressBar::ProgressBar(std::string label, std::optional<long long> total, long long start)
    : enabled_(::isatty(STDERR_FILENO) == 1),
      label_(std::move(label)),
      total_(total),
      start_bytes_(start),
      started_(Clock::now()),
      last_draw_(started_) {}

void ProgressBar::update(long long done) {
    const Clock::time_point now = Clock::now();
    if (enabled_ && now - last_draw_ >= kRedrawEvery) {
        draw(done, now);
    }
}

void ProgressBar::finish(long long done) {
    if (enabled_) {
        draw(done, Clock::now());
        std::fputs("\n", stderr);
    }
}

void ProgressBar::draw(long long done, Clock::time_point now) {
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double bytes_per_second =
        seconds > 0.0 ? static_cast<double>(done - start_bytes_) / seconds : 0.0;
    const double speed = bytes_per_second / kMb;
    // "\033[K" clears what a longer earlier line left behind.
    if (total_ && *total_ > 0) {
        const double share =
            std::min(1.0, static_cast<double>(done) / static_cast<double>(*total_));
        const int filled = static_cast<int>(share * kWidth);
        const double left =
            bytes_per_second > 0.0 ? static_cast<double>(*total_ - done) / bytes_per_second : 0.0;
        std::fprintf(stderr, "\r%s [%-*s] %3d%%  %.1f/%.1f MB  %.1f MB/s  %s left\033[K",
                     label_.c_str(), kWidth, std::string(filled, '#').c_str(),
                     static_cast<int>(share * 100), static_cast<double>(done) / kMb,
                     static_cast<double>(*total_) / kMb, speed, clock_text(left).c_str());
    } else {
        std::fprintf(stderr, "\r%s  %.1f MB  %.1f MB/s\033[K", label_.c_str(),
                     static_cast<double>(done) / kMb, speed);
    }
    std::fflush(stderr);
}

std::string clock_text(double seconds) {
    const long long total = std::max(0LL, static_cast<long long>(seconds + 0.5));
    const long long hours = total / 3600;
    const long long minutes = total / 60 % 60;
    const long long rest = total % 60;
    char text[32];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
    }
    return text;
}

void draw_download_progress() {
    // One download at a time: a report of another label starts a new bar.
    set_download_progress(
        [bar = std::optional<ProgressBar>()](const DownloadProgress& progress) mutable {
            if (!bar || bar->label() != progress.label) {
                bar.emplace(progress.label, progress.total, progress.start);
            }
            if (!progress.finished) {
                bar->update(progress.done);
                return;
            }
            bar->finish(progress.done);
            bar.reset();
        });
}

}  // namespace kestrune::cli
