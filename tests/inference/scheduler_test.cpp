// The one token loop on its own: prompts evaluated in chunks smaller than themselves, sequences
// that share a context without seeing each other, stop texts, a full queue, cancellation and a
// decode that fails.
#include "inference/scheduler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::inference::Generation;
using kestrune::inference::QueueFull;
using kestrune::inference::Request;
using kestrune::inference::Scheduler;
using kestrune::platform::llama::Llama;

std::string text_of(Generation& generation) {
    std::string text;
    while (auto piece = generation.next()) {
        text += *piece;
    }
    return text;
}

class SchedulerTest : public ::testing::Test {
  protected:
    Request request(int max_tokens = 16) const {
        return {.prompt = prompt_, .sampling = {.max_tokens = max_tokens, .temperature = 0.0}};
    }

    Llama weights_{
        {.model_path = kestrune::testing::tiny_chat_model(), .n_ctx = 64, .verbose = false}};
    std::vector<kestrune::platform::llama::Token> prompt_ = weights_.tokenize(
        "the cat sat on the mat and the dog ran to the park where the bird sang a song");
};

TEST_F(SchedulerTest, APromptInChunksSmallerThanItAnswersAsOneWhole) {
    ASSERT_GT(prompt_.size(), 12U);
    Scheduler whole(weights_, {.parallel = 1, .n_ctx = 256, .n_batch = 512});
    Scheduler chunked(weights_, {.parallel = 2, .n_ctx = 256, .n_batch = 5});
    const std::string expected = text_of(*whole.submit(request()));
    ASSERT_FALSE(expected.empty());
    // Two at once in chunks of five: each prompt spans several steps beside the other.
    auto first = chunked.submit(request());
    auto second = chunked.submit(request());
    EXPECT_EQ(text_of(*first), expected);
    EXPECT_EQ(text_of(*second), expected);
    EXPECT_EQ(first->summary().prompt_tokens, static_cast<int>(prompt_.size()));
    EXPECT_EQ(first->summary().completion_tokens, second->summary().completion_tokens);
}

TEST_F(SchedulerTest, AReusedSlotAnswersAsAFreshOneAndEvaluatesOnlyWhatIsNew) {
    Scheduler scheduler(weights_, {.parallel = 1, .n_ctx = 256});
    Request shorter = request();
    shorter.prompt.resize(prompt_.size() / 2);
    auto fresh = scheduler.submit(shorter);
    const std::string fresh_text = text_of(*fresh);
    EXPECT_EQ(fresh->summary().evaluated_tokens, static_cast<int>(shorter.prompt.size()));
    // The slot now holds the longer prompt and its answer; the shorter one shares its start.
    text_of(*scheduler.submit(request()));
    auto again = scheduler.submit(shorter);
    EXPECT_EQ(text_of(*again), fresh_text);
    EXPECT_EQ(again->summary().evaluated_tokens, 1) << "only the last token, for its logits";
}

TEST_F(SchedulerTest, AStopTextEndsTheAnswerBeforeIt) {
    Scheduler scheduler(weights_, {.parallel = 1, .n_ctx = 256});
    const std::string free_text = text_of(*scheduler.submit(request(24)));
    ASSERT_GT(free_text.size(), 6U);
    Request stopped = request(24);
    const std::string stop = free_text.substr(free_text.size() / 2, 3);
    stopped.stops = {"never appears", stop};
    auto generation = scheduler.submit(stopped);
    EXPECT_EQ(text_of(*generation), free_text.substr(0, free_text.find(stop)));
    EXPECT_EQ(generation->summary().finish_reason, "stop");
}

TEST_F(SchedulerTest, PromptsThatDoNotFitAndAFullQueueAreRefusedAtOnce) {
    Scheduler small(weights_, {.parallel = 1, .n_ctx = 16});
    EXPECT_THROW(small.submit(request()), kestrune::InvalidValueError);
    EXPECT_THROW(small.submit({}), kestrune::InvalidValueError);

    // One slot, one place in the queue: the third request finds both taken, whichever the
    // scheduler has started by then. Barred from ending its turn, the first answer runs for a
    // while (the tiny model's own answer ends within milliseconds, and the queue had room).
    Scheduler busy(weights_, {.parallel = 1, .n_ctx = 2048, .max_queue = 1});
    Request endless = request(2000);
    for (kestrune::platform::llama::Token token = 0; token < weights_.n_vocab(); ++token) {
        if (weights_.is_eog(token)) {
            endless.sampling.logit_bias.emplace_back(token, -INFINITY);
        }
    }
    auto running = busy.submit(endless);
    auto waiting = busy.submit(endless);
    EXPECT_THROW(busy.submit(request()), QueueFull);
    running->cancel();
    waiting->cancel();
    text_of(*running);
    text_of(*waiting);
}

TEST_F(SchedulerTest, ACancelledGenerationEndsAndFreesItsSlot) {
    const std::string model = kestrune::testing::throughput_model();
    Llama random_weights({.model_path = model, .n_ctx = 64, .verbose = false});
    Scheduler scheduler(random_weights, {.parallel = 1, .n_ctx = 512});
    const int limit = 400;
    auto endless = scheduler.submit({.prompt = random_weights.tokenize("the cat"),
                                     .sampling = {.max_tokens = limit, .temperature = 0.0}});
    ASSERT_TRUE(endless->next().has_value());
    endless->cancel();
    text_of(*endless);
    EXPECT_EQ(endless->summary().finish_reason, "stop");
    EXPECT_LT(endless->summary().completion_tokens, limit);
    // The one slot serves the next request.
    auto next = scheduler.submit(
        {.prompt = random_weights.tokenize("the dog"), .sampling = {.max_tokens = 3}});
    text_of(*next);
    EXPECT_EQ(next->summary().completion_tokens, 3);
}

TEST_F(SchedulerTest, AFailedDecodeFailsItsGenerationAndTheSchedulerGoesOn) {
    Scheduler scheduler(weights_, {.parallel = 1, .n_ctx = 256});
    // A token the vocabulary does not have: llama.cpp refuses the batch that holds it.
    Request broken = request();
    broken.prompt.push_back(weights_.n_vocab() + 5);
    auto failed = scheduler.submit(broken);
    EXPECT_THROW(text_of(*failed), kestrune::RuntimeFailure);
    auto fine = scheduler.submit(request(4));
    EXPECT_FALSE(text_of(*fine).empty());
}

}  // namespace
