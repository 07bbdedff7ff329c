// The batching scheduler on its own: prompts evaluated in chunks smaller than themselves, and
// sequences that share a context without seeing each other.
#include "server/scheduler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::platform::llama::Llama;
using kestrune::server::Generation;
using kestrune::server::Scheduler;

std::string text_of(Generation& generation) {
    std::string text;
    while (auto piece = generation.next()) {
        text += *piece;
    }
    return text;
}

class ServerSchedulerTest : public ::testing::Test {
  protected:
    Llama weights_{
        {.model_path = kestrune::testing::tiny_chat_model(), .n_ctx = 64, .verbose = false}};
    std::vector<kestrune::platform::llama::Token> prompt_ = weights_.tokenize(
        "the cat sat on the mat and the dog ran to the park where the bird sang a song");
    kestrune::platform::llama::Sampling greedy_{.max_tokens = 16, .temperature = 0.0};
};

TEST_F(ServerSchedulerTest, APromptInChunksSmallerThanItAnswersAsOneWhole) {
    ASSERT_GT(prompt_.size(), 12U);
    Scheduler whole(weights_, {.parallel = 1, .n_ctx = 256, .n_batch = 512});
    Scheduler chunked(weights_, {.parallel = 2, .n_ctx = 256, .n_batch = 5});
    const std::string expected = text_of(*whole.submit(prompt_, greedy_));
    ASSERT_FALSE(expected.empty());
    // Two at once in chunks of five: each prompt spans several steps beside the other.
    auto first = chunked.submit(prompt_, greedy_);
    auto second = chunked.submit(prompt_, greedy_);
    EXPECT_EQ(text_of(*first), expected);
    EXPECT_EQ(text_of(*second), expected);
    EXPECT_EQ(first->summary().prompt_tokens, static_cast<int>(prompt_.size()));
    EXPECT_EQ(first->summary().completion_tokens, second->summary().completion_tokens);
}

TEST_F(ServerSchedulerTest, AReusedSlotAnswersAsAFreshOne) {
    Scheduler scheduler(weights_, {.parallel = 1, .n_ctx = 256});
    auto shorter = prompt_;
    shorter.resize(prompt_.size() / 2);
    const std::string fresh = text_of(*scheduler.submit(shorter, greedy_));
    // The slot now holds the longer prompt and its answer; the shorter one shares its start.
    text_of(*scheduler.submit(prompt_, greedy_));
    EXPECT_EQ(text_of(*scheduler.submit(shorter, greedy_)), fresh);
}

TEST_F(ServerSchedulerTest, PromptsThatDoNotFitAreRefusedAtOnce) {
    Scheduler scheduler(weights_, {.parallel = 1, .n_ctx = 16});
    EXPECT_THROW(scheduler.submit(prompt_, greedy_), kestrune::InvalidValueError);
    EXPECT_THROW(scheduler.submit({}, greedy_), kestrune::InvalidValueError);
}

}  // namespace
