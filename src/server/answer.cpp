#include "server/answer.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "kestrune/core/errors.hpp"
#include "server/fields.hpp"

namespace kestrune::server {

int status_for(const std::exception& error) {
    if (const auto* request = dynamic_cast<const RequestError*>(&error)) {
        return request->status();
    }
    if (dynamic_cast<const QueueFull*>(&error) != nullptr) {
        return 429;
    }
    if (dynamic_cast<const NotFoundError*>(&error) != nullptr) {
        return 404;
    }
    if (dynamic_cast<const InvalidValueError*>(&error) != nullptr ||
        dynamic_cast<const nlohmann::json::exception*>(&error) != nullptr) {
        return 400;
    }
    return 500;
}

Answer::Answer(ModelPool& pool, const AnswerRequest& request)
    : model_(pool.acquire(request.model, request.keep_alive)) {
    if (request.messages) {
        reply_ = std::make_unique<inference::Reply>(
            model_->model,
            inference::ChatRequest{.messages = *request.messages,
                                   .sampling = request.sampling,
                                   .stops = request.stop,
                                   .tools = request.tools,
                                   .think = request.think,
                                   .require_tool_call = request.require_tool_call,
                                   .parallel_tool_calls = request.parallel_tool_calls});
        return;
    }
    reply_ = std::make_unique<inference::Reply>(
        model_->model,
        inference::CompletionRequest{
            .prompt = request.prompt, .sampling = request.sampling, .stops = request.stop});
}

std::string requested_model(const Json& body, const ServeContext& context) {
    std::string model = fields::text(body, "model").value_or(context.default_model);
    if (model.empty()) {
        throw RequestError(400, "'model' is required");
    }
    return model;
}

void require_tool(AnswerRequest& request, const std::string& name, const std::string& kind) {
    std::erase_if(request.tools, [&](const ToolSpec& tool) { return tool.name != name; });
    if (request.tools.empty()) {
        throw RequestError(400, "'tool_choice' names the " + kind + " '" + name +
                                    "', which is not among the tools");
    }
    request.require_tool_call = true;
}

std::string new_id(const std::string& prefix) {
    static std::atomic<std::uint64_t> counter{std::random_device{}()};
    std::array<char, 32> digits{};
    std::snprintf(digits.data(), digits.size(), "%08x%016llx",
                  static_cast<unsigned>(std::random_device{}()),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return prefix + digits.data();
}

platform::http_server::Response json_answer(const Json& body, int status) {
    return {.status = status,
            .content_type = "application/json",
            .body = fields::to_text(body),
            .stream = {}};
}

void stream_events(Answer& answer, platform::http_server::Sink& sink, const EventFormat& format,
                   AccessNote& note) {
    try {
        while (auto piece = answer.next_delta()) {
            if (!sink.write(format.piece(*piece))) {
                // The client has gone: the slot frees at the next step, and the access line
                // counts what was generated until then.
                answer.cancel();
                answer.rest();
                note.record(answer.summary());
                return;
            }
        }
        note.record(answer.summary());
        sink.write(format.end(answer));
    } catch (const std::exception& error) {
        sink.write(format.error(error));
    }
}

}  // namespace kestrune::server
