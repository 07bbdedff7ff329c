// Answers of the inference core for tests: a model loaded as the adapters load it, and whole
// chats or completions read back with their counts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "inference/model.hpp"
#include "inference/reply.hpp"
#include "kestrune/core/messages.hpp"

namespace kestrune::testing {

std::shared_ptr<inference::Model> load_model(const std::string& path, int n_ctx = 512,
                                             int parallel = 1);

struct Generated {
    std::string text;  // a completion's text, a chat's answer without reasoning and tool calls
    ChatReply reply;   // read in its parts
    std::string finish_reason;
    int prompt_tokens = 0;
    int evaluated_tokens = 0;
    int completion_tokens = 0;
};

Generated read_all(inference::Reply& reply);
Generated chat(const std::shared_ptr<inference::Model>& model,
               const inference::ChatRequest& request);
Generated complete(const std::shared_ptr<inference::Model>& model, const std::string& prompt,
                   const inference::Sampling& sampling);

inline inference::Sampling greedy(int max_tokens = 64) {
    return {.max_tokens = max_tokens, .temperature = 0.0};
}

}  // namespace kestrune::testing
