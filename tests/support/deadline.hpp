// Runs work that hangs when a fault is back (a blocking open, an endless walk) in a child
// process, so a test can fail at a deadline instead of hanging the suite.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace kestrune::testing {

// The text `work` returns, computed in a forked child; absent when the child has not finished
// by `deadline` (it is then killed) or dies without answering.
std::optional<std::string> run_before_deadline(const std::function<std::string()>& work,
                                               std::chrono::seconds deadline);

}  // namespace kestrune::testing
