#include "speculation.hpp"

#include <chrono>
#include <functional>
#include <iomanip>
#include <iostream>
#include <utility>

namespace kestrune::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProbeTokens = 16;

// Times tokens produced after the first piece, so that evaluating the prompt is left out;
// `produced` counts the tokens so far.
class DecodeTimer {
  public:
    explicit DecodeTimer(std::function<int()> produced) : produced_(std::move(produced)) {}

    void piece_arrived() {
        if (!started_) {
            started_ = true;
            first_ = Clock::now();
            tokens_at_first_ = produced_();
        }
    }
    // Tokens per second since the first piece; 0 when too little was produced to tell.
    double rate() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - first_).count();
        const int tokens = produced_() - tokens_at_first_;
        return started_ && tokens > 0 && seconds > 0.0 ? static_cast<double>(tokens) / seconds
                                                       : 0.0;
    }

  private:
    std::function<int()> produced_;
    bool started_ = false;
    Clock::time_point first_;
    int tokens_at_first_ = 0;
};

}  // namespace

double plain_decoding_rate(backends::NativeBackend& target) {
    DecodeTimer timer([&target] { return target.last_token_counts().generated_tokens; });
    TextStream pieces =
        target.stream({{"user", "Hello"}},
                      backends::GenerationConfig{.max_tokens = kProbeTokens, .temperature = 0.0});
    while (pieces.next()) {
        timer.piece_arrived();
    }
    return timer.rate();
}

TextStream reporting_speculation(TextStream pieces, const backends::NativeBackend& target,
                                 double plain_rate) {
    DecodeTimer timer([&target] { return target.last_speculative_stats().generated; });
    while (auto piece = pieces.next()) {
        timer.piece_arrived();
        co_yield std::move(*piece);
    }
    const speculative::SpeculativeStats& stats = target.last_speculative_stats();
    const double rate = timer.rate();
    std::cerr << "  speculative: acceptance " << std::fixed << std::setprecision(2)
              << stats.acceptance_rate() << " (" << stats.accepted << " of " << stats.drafted
              << " proposals), " << stats.generated << " tokens in " << stats.rounds
              << " target passes, " << std::setprecision(1) << rate << " tokens/s";
    if (plain_rate > 0.0 && rate > 0.0) {
        std::cerr << ", " << std::setprecision(2) << rate / plain_rate << "x plain decoding ("
                  << std::setprecision(1) << plain_rate << " tokens/s)";
    }
    std::cerr << std::endl;
}

}  // namespace kestrune::cli
