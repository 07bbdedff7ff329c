// Paths of the models the build generates for tests (tools/make_test_models.cpp).
#pragma once

#include <string>

namespace kestrune::testing {

// The tiny bigram chat model: greedy answers are readable sentences of its corpus.
std::string tiny_chat_model();
// The random-weight Q8_0 model of about 150M parameters, sharing the tiny model's vocabulary.
std::string throughput_model();

}  // namespace kestrune::testing
