#include "server/openai_api.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

#include "server/fields.hpp"
#include "server/model_details.hpp"

namespace kestrune::server::openai_api {

namespace {

std::int64_t unix_seconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// "chatcmpl-" and 24 hexadecimal digits, unique within the process.
std::string new_id(const std::string& prefix) {
    static std::atomic<std::uint64_t> counter{std::random_device{}()};
    std::array<char, 32> digits{};
    std::snprintf(digits.data(), digits.size(), "%08x%016llx",
                  static_cast<unsigned>(std::random_device{}()),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return prefix + digits.data();
}

std::string error_type(int status) {
    switch (status) {
        case 401:
            return "authentication_error";
        case 404:
            return "not_found_error";
        case 429:
            return "rate_limit_error";
        case 500:
            return "server_error";
        default:
            return "invalid_request_error";
    }
}

Json error_body(int status, const std::string& message) {
    return {{"error",
             {{"message", message},
              {"type", error_type(status)},
              {"param", nullptr},
              {"code", nullptr}}}};
}

Json usage(const GenerationSummary& summary) {
    return {{"prompt_tokens", summary.prompt_tokens},
            {"completion_tokens", summary.completion_tokens},
            {"total_tokens", summary.prompt_tokens + summary.completion_tokens}};
}

std::string event(const Json& data) {
    return "data: " + fields::to_text(data) + "\n\n";
}

// The fields every answer and chunk begins with.
struct Header {
    std::string id;
    std::string object;
    std::int64_t created;
    std::string model;

    Json start() const {
        return {{"id", id}, {"object", object}, {"created", created}, {"model", model}};
    }
};

Json whole_choice(bool chat, const std::string& text, const std::string& finish_reason) {
    if (chat) {
        return {{"index", 0},
                {"message", {{"role", "assistant"}, {"content", text}}},
                {"finish_reason", finish_reason}};
    }
    return {{"index", 0}, {"text", text}, {"logprobs", nullptr}, {"finish_reason", finish_reason}};
}

Json chunk_choice(bool chat, const Json& text, const Json& finish_reason) {
    if (chat) {
        Json delta = Json::object();
        if (!text.is_null()) {
            delta["content"] = text;
        }
        return {{"index", 0}, {"delta", delta}, {"finish_reason", finish_reason}};
    }
    return {{"index", 0},
            {"text", text.is_null() ? Json("") : text},
            {"logprobs", nullptr},
            {"finish_reason", finish_reason}};
}

Response whole(Answer& answer, const Header& header, bool chat, AccessNote& note) {
    const std::string text = answer.rest();
    note.tokens = answer.summary().completion_tokens;
    Json body = header.start();
    body["choices"] = Json::array({whole_choice(chat, text, answer.finish_reason())});
    body["usage"] = usage(answer.summary());
    return {.status = 200,
            .content_type = "application/json",
            .body = fields::to_text(body),
            .stream = {}};
}

Response streamed(std::shared_ptr<Answer> answer, const Header& header, bool chat,
                  bool include_usage, std::shared_ptr<AccessNote> note) {
    auto chunk = [header, include_usage](Json choices) {
        Json body = header.start();
        body["choices"] = std::move(choices);
        if (include_usage) {
            body["usage"] = nullptr;
        }
        return body;
    };
    EventFormat format{
        .piece =
            [chunk, chat](const std::string& piece) {
                return event(chunk(Json::array({chunk_choice(chat, piece, nullptr)})));
            },
        .end =
            [chunk, chat, header, include_usage](const Answer& done) {
                std::string events =
                    event(chunk(Json::array({chunk_choice(chat, nullptr, done.finish_reason())})));
                if (include_usage) {
                    Json last = header.start();
                    last["choices"] = Json::array();
                    last["usage"] = usage(done.summary());
                    events += event(last);
                }
                return events + "data: [DONE]\n\n";
            },
        .error =
            [](const std::exception& failure) {
                return event(error_body(status_for(failure), failure.what())) + "data: [DONE]\n\n";
            },
    };
    Response response{.status = 200, .content_type = "text/event-stream", .body = {}, .stream = {}};
    response.stream = [answer, header, chat, format, note](platform::http_server::Sink& sink) {
        // The role comes first, as OpenAI's own streams do.
        if (chat) {
            Json first = header.start();
            first["choices"] = Json::array({{{"index", 0},
                                             {"delta", {{"role", "assistant"}, {"content", ""}}},
                                             {"finish_reason", nullptr}}});
            if (!sink.write(event(first))) {
                answer->cancel();
                return;
            }
        }
        stream_events(*answer, sink, format, *note);
    };
    return response;
}

Response complete(const ServeContext& context, const Request& request,
                  const std::shared_ptr<AccessNote>& note, bool chat) {
    const Json body = fields::parse_object(request.body);
    const AnswerRequest wanted = answer_request(body, context, chat);
    const bool stream = fields::flag(body, "stream").value_or(false);
    bool include_usage = false;
    if (const auto options = body.find("stream_options");
        options != body.end() && options->is_object()) {
        include_usage = fields::flag(*options, "include_usage").value_or(false);
    }
    auto answer = std::make_shared<Answer>(context.pool, wanted);
    const Header header{
        new_id(chat ? "chatcmpl-" : "cmpl-"),
        chat ? (stream ? "chat.completion.chunk" : "chat.completion") : "text_completion",
        unix_seconds(std::chrono::system_clock::now()), wanted.model};
    if (stream) {
        return streamed(std::move(answer), header, chat, include_usage, note);
    }
    return whole(*answer, header, chat, *note);
}

}  // namespace

AnswerRequest answer_request(const Json& body, const ServeContext& context, bool chat) {
    AnswerRequest request;
    request.model = fields::text(body, "model").value_or(context.default_model);
    if (request.model.empty()) {
        throw RequestError(400, "'model' is required");
    }
    if (chat) {
        request.messages = fields::messages(body, "messages");
    } else {
        const auto prompt = fields::texts(body, "prompt");
        if (prompt.size() != 1) {
            throw RequestError(400, "'prompt' must be one text");
        }
        request.prompt = prompt.front();
    }
    auto max_tokens = fields::integer(body, "max_completion_tokens");
    if (!max_tokens) {
        max_tokens = fields::integer(body, "max_tokens");
    }
    if (max_tokens && *max_tokens < 1) {
        throw RequestError(400, "'max_tokens' must be at least 1");
    }
    if (max_tokens) {
        request.sampling.max_tokens = static_cast<int>(std::min<long long>(*max_tokens, 1 << 30));
    }
    request.sampling.temperature =
        fields::number(body, "temperature").value_or(request.sampling.temperature);
    request.sampling.top_p = fields::number(body, "top_p").value_or(request.sampling.top_p);
    if (const auto seed = fields::integer(body, "seed")) {
        request.sampling.seed = static_cast<std::uint32_t>(*seed);
    }
    request.stop = fields::texts(body, "stop");
    return request;
}

Response error(int status, const std::string& message) {
    return {.status = status,
            .content_type = "application/json",
            .body = fields::to_text(error_body(status, message)),
            .stream = {}};
}

Response models(const ServeContext& context) {
    Json data = Json::array();
    for (const LocalModel& model : local_models(context.pool, context.default_model)) {
        data.push_back({{"id", model.name},
                        {"object", "model"},
                        {"created", unix_seconds(model.modified)},
                        {"owned_by", "kestrune"}});
    }
    const Json body = {{"object", "list"}, {"data", data}};
    return {.status = 200,
            .content_type = "application/json",
            .body = fields::to_text(body),
            .stream = {}};
}

Response chat_completions(const ServeContext& context, const Request& request,
                          const std::shared_ptr<AccessNote>& note) {
    return complete(context, request, note, true);
}

Response completions(const ServeContext& context, const Request& request,
                     const std::shared_ptr<AccessNote>& note) {
    return complete(context, request, note, false);
}

}  // namespace kestrune::server::openai_api
