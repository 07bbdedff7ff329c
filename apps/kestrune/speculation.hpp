// What `run --draft --verbose` tells after each answer: how much of the draft's proposals the
// target kept, and how much faster than plain decoding the answer came.
#pragma once

#include "kestrune/backends/native.hpp"
#include "kestrune/core/stream.hpp"

namespace kestrune::cli {

// Tokens per second of plain decoding on `target`, timed on a short greedy answer (its prompt
// left out).
double plain_decoding_rate(backends::NativeBackend& target);

// Passes a speculative stream of `target` on; when it ends, writes the acceptance rate and the
// speed-up over `plain_rate` to standard error.
TextStream reporting_speculation(TextStream pieces, const backends::NativeBackend& target,
                                 double plain_rate);

}  // namespace kestrune::cli
