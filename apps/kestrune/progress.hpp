// A download's progress bar on standard error: bytes, percentage, rate and time left, redrawn
// at most ten times a second, and drawn only when standard error is a terminal so that pipes
// and logs stay quiet.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kestrune::cli {

class ProgressBar {
  public:
    // `total` absent: the size is unknown (no percentage, no time left). `start` counts bytes
    // already there (a resumed download), which do not count towards the rate.
    ProgressBar(std::string label, std::optional<long long> total, long long start = 0);

    const std::string& label() const { return label_; }
    void update(long long done);
    // Draws the final state and ends the line.
    void finish(long long done);

  private:
    using Clock = std::chrono::steady_clock;

    void draw(long long done, Clock::time_point now);

    bool enabled_;
    std::string label_;
    std::optional<long long> total_;
    long long start_bytes_;
    Clock::time_point started_;
    Clock::time_point last_draw_;
};

// "1:05" for 65 seconds, "1:01:05" past an hour.
std::string clock_text(double seconds);

// Draws every download the library reports as a progress bar (kestrune::set_download_progress).
void draw_download_progress();

}  // namespace kestrune::cli
