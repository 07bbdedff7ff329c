#include "core/stop_texts.hpp"

#include <algorithm>
#include <utility>

namespace kestrune {

StopTexts::StopTexts(std::vector<std::string> stops) : stops_(std::move(stops)) {
    std::erase_if(stops_, [](const std::string& stop) { return stop.empty(); });
}

std::string StopTexts::push(std::string_view piece) {
    if (stopped_) {
        return {};
    }
    held_ += piece;
    std::size_t first_stop = std::string::npos;
    for (const auto& stop : stops_) {
        if (const std::size_t at = held_.find(stop); at < first_stop) {
            first_stop = at;
            matched_ = stop;
        }
    }
    if (first_stop != std::string::npos) {
        stopped_ = true;
        std::string before = held_.substr(0, first_stop);
        held_.clear();
        return before;
    }
    const std::size_t release = held_.size() - held_prefix_length();
    std::string out = held_.substr(0, release);
    held_.erase(0, release);
    return out;
}

std::string StopTexts::flush() {
    return std::exchange(held_, {});
}

std::size_t StopTexts::held_prefix_length() const {
    std::size_t longest = 0;
    for (const auto& stop : stops_) {
        const std::size_t most = std::min(stop.size() - 1, held_.size());
        for (std::size_t length = most; length > longest; --length) {
            if (std::string_view(held_).substr(held_.size() - length) ==
                std::string_view(stop).substr(0, length)) {
                longest = length;
                break;
            }
        }
    }
    return longest;
}

}  // namespace kestrune
