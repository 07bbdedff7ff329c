#include "platform/llama/sampler.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace kestrune::platform::llama {
namespace {

class SamplerOnTheTinyVocabulary : public ::testing::Test {
  protected:
    // Every token but `favourite` scores 0.
    std::vector<float> logits_favouring(Token favourite, float score) const {
        std::vector<float> logits(static_cast<std::size_t>(model_.n_vocab()), 0.0F);
        logits[static_cast<std::size_t>(favourite)] = score;
        return logits;
    }

    Llama model_{{.model_path = testing::tiny_chat_model(), .n_ctx = 128, .verbose = false}};
};

TEST_F(SamplerOnTheTinyVocabulary, GreedyTakesTheHighestLogit) {
    Sampler greedy(Sampling{.temperature = 0.0}, model_.vocab());
    EXPECT_EQ(greedy.sample(logits_favouring(7, 3.0F)), 7);
    EXPECT_EQ(greedy.sample(logits_favouring(11, 0.5F)), 11);
}

TEST_F(SamplerOnTheTinyVocabulary, RepeatPenaltyPassesOverAnAcceptedToken) {
    Sampler penalised(Sampling{.temperature = 0.0, .repeat_penalty = 4.0}, model_.vocab());
    std::vector<float> logits = logits_favouring(7, 2.0F);
    logits[9] = 1.0F;
    const Token seen = 7;
    penalised.accept(std::span(&seen, 1));
    // 2.0 / 4 falls below 1.0: the runner-up wins.
    EXPECT_EQ(penalised.sample(logits), 9);
}

TEST_F(SamplerOnTheTinyVocabulary, SeededSamplingRepeatsAndWrongRowsAreRefused) {
    const Sampling seeded{.temperature = 1.0, .top_p = 1.0, .top_k = 0, .seed = 42};
    std::vector<float> flat(static_cast<std::size_t>(model_.n_vocab()), 0.0F);
    Sampler first(seeded, model_.vocab());
    Sampler second(seeded, model_.vocab());
    for (int draw = 0; draw < 5; ++draw) {
        EXPECT_EQ(first.sample(flat), second.sample(flat));
    }
    flat.pop_back();
    EXPECT_THROW(first.sample(flat), InvalidValueError);
}

}  // namespace
}  // namespace kestrune::platform::llama
