#include "server/openai_api.hpp"

#include <chrono>

#include "inference/output_format.hpp"
#include "server/fields.hpp"
#include "server/model_details.hpp"

namespace kestrune::server::openai_api {

namespace {

std::int64_t unix_seconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
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

// The calls of a reply in OpenAI's form; `indexed` numbers them, as stream chunks do.
Json tool_calls(const ChatReply& reply, bool indexed) {
    std::vector<ToolCall> calls = reply.tool_calls;
    // Formats without call identifiers get one, for the result to name.
    for (ToolCall& call : calls) {
        if (call.id.empty()) {
            call.id = new_id("call_");
        }
    }
    return openai_tool_calls(calls, indexed);
}

// "tool_calls" when the model asked for calls, else as the generation ended.
std::string finish_reason_of(const Answer& answer) {
    return answer.reply().tool_calls.empty() ? answer.finish_reason() : "tool_calls";
}

Json whole_choice(bool chat, const Answer& answer) {
    const ChatReply& reply = answer.reply();
    if (chat) {
        return {{"index", 0},
                {"message", reply_message(reply)},
                {"finish_reason", finish_reason_of(answer)}};
    }
    return {{"index", 0},
            {"text", reply.content},
            {"logprobs", nullptr},
            {"finish_reason", answer.finish_reason()}};
}

Json chunk_choice(bool chat, const Answer::Delta* piece, const Json& finish_reason) {
    if (chat) {
        Json delta = Json::object();
        if (piece != nullptr && !piece->reasoning.empty()) {
            delta["reasoning_content"] = piece->reasoning;
        }
        if (piece != nullptr && !piece->content.empty()) {
            delta["content"] = piece->content;
        }
        return {{"index", 0}, {"delta", delta}, {"finish_reason", finish_reason}};
    }
    return {{"index", 0},
            {"text", piece != nullptr ? piece->content : std::string()},
            {"logprobs", nullptr},
            {"finish_reason", finish_reason}};
}

Response whole(Answer& answer, const Header& header, bool chat, AccessNote& note) {
    answer.rest();
    note.record(answer.summary());
    Json body = header.start();
    body["choices"] = Json::array({whole_choice(chat, answer)});
    body["usage"] = usage(answer.summary());
    return json_answer(body);
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
            [chunk, chat](const Answer::Delta& piece) {
                return event(chunk(Json::array({chunk_choice(chat, &piece, nullptr)})));
            },
        .end =
            [chunk, chat, header, include_usage](const Answer& done) {
                std::string events;
                // The calls come whole, once the reply is read.
                if (chat && !done.reply().tool_calls.empty()) {
                    events += event(chunk(
                        Json::array({{{"index", 0},
                                      {"delta", {{"tool_calls", tool_call_deltas(done.reply())}}},
                                      {"finish_reason", nullptr}}})));
                }
                events += event(
                    chunk(Json::array({chunk_choice(chat, nullptr, finish_reason_of(done))})));
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
        unix_seconds(std::chrono::system_clock::now()), answer->model_name()};
    if (stream) {
        return streamed(std::move(answer), header, chat, include_usage, note);
    }
    return whole(*answer, header, chat, *note);
}

// The schema of {"type": "json_schema", "json_schema": {"name", "schema", "strict"}}.
const Json& json_schema_of(const Json& format) {
    const auto wrapper = format.find("json_schema");
    if (wrapper == format.end() || !wrapper->is_object()) {
        throw RequestError(400, "'response_format' of type json_schema needs 'json_schema'");
    }
    const auto schema = wrapper->find("schema");
    if (schema == wrapper->end() || !schema->is_object()) {
        throw RequestError(400, "'response_format.json_schema.schema' must be a JSON schema");
    }
    return *schema;
}

// The grammar the answer keeps to: OpenAI's response_format, or llama.cpp's server's own
// fields, a JSON schema ("json_schema") or GBNF ("grammar"); one of them at most.
std::string grammar_of(const Json& body) {
    const auto format = body.find("response_format");
    const bool formatted = format != body.end() && !format->is_null();
    const auto schema = body.find("json_schema");
    const bool schemed = schema != body.end() && !schema->is_null();
    const auto grammar = fields::text(body, "grammar");
    if (static_cast<int>(formatted) + static_cast<int>(schemed) +
            static_cast<int>(grammar.has_value()) >
        1) {
        throw RequestError(400,
                           "'response_format', 'json_schema' and 'grammar' cannot be combined");
    }
    if (grammar) {
        return *grammar;
    }
    if (schemed) {
        return fields::schema_grammar(*schema, "json_schema");
    }
    if (!formatted) {
        return {};
    }
    if (!format->is_object()) {
        throw RequestError(400, "'response_format' must be an object");
    }
    const std::string type = fields::text(*format, "type").value_or("");
    if (type == "text") {
        return {};
    }
    if (type == "json_object") {
        // llama.cpp's server also takes a schema beside the type.
        const auto inner = format->find("schema");
        return inner != format->end() && !inner->is_null()
                   ? fields::schema_grammar(*inner, "response_format.schema")
                   : inference::output_format::json_object_grammar();
    }
    if (type == "json_schema") {
        return fields::schema_grammar(json_schema_of(*format),
                                      "response_format.json_schema.schema");
    }
    throw RequestError(
        400, "'response_format.type' must be \"text\", \"json_object\" or \"json_schema\"");
}

// "auto" (the model decides), "none" (no tools are offered), "required" (a call to one of
// them) or {"type": "function", "function": {"name": …}} (a call to that one).
void tool_choice(const Json& body, AnswerRequest& request) {
    const auto choice = body.find("tool_choice");
    if (choice == body.end() || choice->is_null() || *choice == "auto") {
        return;
    }
    if (*choice == "none") {
        request.tools.clear();
        return;
    }
    if (*choice == "required") {
        request.require_tool_call = true;
        return;
    }
    const auto function = choice->is_object() ? choice->find("function") : choice->end();
    if (!choice->is_object() || function == choice->end() || !function->is_object()) {
        throw RequestError(400,
                           "'tool_choice' must be \"auto\", \"none\", \"required\" or "
                           "{\"type\": \"function\", \"function\": {\"name\": …}}");
    }
    require_tool(request, fields::required_text(*function, "name"), "function");
}

// What this server cannot give yet is said, not dropped: one choice and no log-probabilities.
void refuse_unanswerable(const Json& body) {
    if (fields::integer(body, "n").value_or(1) != 1) {
        throw RequestError(400, "'n' must be 1: this server answers one choice");
    }
    const auto logprobs = body.find("logprobs");
    const bool wanted =
        logprobs != body.end() && ((logprobs->is_boolean() && logprobs->get<bool>()) ||
                                   (logprobs->is_number() && logprobs->get<double>() > 0));
    if (wanted || fields::integer(body, "top_logprobs").value_or(0) > 0) {
        throw RequestError(400,
                           "'logprobs' cannot be answered: this server reports no "
                           "log-probabilities");
    }
}

}  // namespace

AnswerRequest answer_request(const Json& body, const ServeContext& context, bool chat) {
    AnswerRequest request;
    request.model = requested_model(body, context);
    if (chat) {
        request.messages = fields::messages(body, "messages");
        request.tools = fields::tools(body, "tools");
        tool_choice(body, request);
        request.parallel_tool_calls = fields::flag(body, "parallel_tool_calls");
        // As llama.cpp's server takes it: {"chat_template_kwargs": {"enable_thinking": false}}.
        if (const auto kwargs = body.find("chat_template_kwargs");
            kwargs != body.end() && kwargs->is_object()) {
            request.think = fields::flag(*kwargs, "enable_thinking");
        }
    } else {
        const auto prompt = fields::texts(body, "prompt");
        if (prompt.size() != 1) {
            throw RequestError(400, "'prompt' must be one text");
        }
        request.prompt = prompt.front();
    }
    auto max_tokens = fields::token_limit(body, "max_completion_tokens");
    if (!max_tokens) {
        max_tokens = fields::token_limit(body, "max_tokens");
    }
    if (max_tokens) {
        request.sampling.max_tokens = *max_tokens;
    }
    fields::sampling_controls(body, request.sampling);
    request.sampling.logit_bias = fields::logit_bias(body, "logit_bias");
    request.sampling.grammar = grammar_of(body);
    request.stop = fields::texts(body, "stop");
    refuse_unanswerable(body);
    return request;
}

Json reply_message(const ChatReply& reply) {
    Json message = {{"role", "assistant"}};
    const bool calls = !reply.tool_calls.empty();
    message["content"] = calls && reply.content.empty() ? Json(nullptr) : Json(reply.content);
    if (!reply.reasoning.empty()) {
        message["reasoning_content"] = reply.reasoning;
    }
    if (calls) {
        message["tool_calls"] = tool_calls(reply, false);
    }
    return message;
}

Json tool_call_deltas(const ChatReply& reply) {
    return tool_calls(reply, true);
}

Response error(int status, const std::string& message) {
    return json_answer(error_body(status, message), status);
}

Response models(const ServeContext& context) {
    Json data = Json::array();
    for (const LocalModel& model : local_models(context.pool)) {
        data.push_back({{"id", model.name},
                        {"object", "model"},
                        {"created", unix_seconds(model.modified)},
                        {"owned_by", "kestrune"}});
    }
    const Json body = {{"object", "list"}, {"data", data}};
    return json_answer(body);
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
