#include "support/generation.hpp"

namespace kestrune::testing {

std::shared_ptr<inference::Model> load_model(const std::string& path, int n_ctx, int parallel) {
    // One thread: tests run side by side on few cores, and ggml's threads spin while waiting.
    return std::make_shared<inference::Model>(inference::ModelOptions{
        .path = path,
        .n_threads = 1,
        .scheduler = {.parallel = parallel, .n_ctx = n_ctx, .on_callers_thread = parallel == 1}});
}

Generated read_all(inference::Reply& reply) {
    Generated result;
    while (auto piece = reply.next()) {
        result.text += *piece;
    }
    result.finish_reason = reply.finish_reason();
    result.prompt_tokens = reply.summary().prompt_tokens;
    result.evaluated_tokens = reply.summary().evaluated_tokens;
    result.completion_tokens = reply.summary().completion_tokens;
    return result;
}

Generated chat(const std::shared_ptr<inference::Model>& model,
               const inference::ChatRequest& request) {
    inference::Reply reply(model, request);
    Generated result;
    result.reply = reply.rest();
    result.text = result.reply.content;
    result.finish_reason = reply.finish_reason();
    result.prompt_tokens = reply.summary().prompt_tokens;
    result.evaluated_tokens = reply.summary().evaluated_tokens;
    result.completion_tokens = reply.summary().completion_tokens;
    return result;
}

Generated complete(const std::shared_ptr<inference::Model>& model, const std::string& prompt,
                   const inference::Sampling& sampling) {
    inference::Reply reply(model,
                           inference::CompletionRequest{.prompt = prompt, .sampling = sampling});
    Generated result = read_all(reply);
    result.reply.content = result.text;
    return result;
}

}  // namespace kestrune::testing
