#include "server/anthropic_api.hpp"

#include <algorithm>

#include "inference/reply.hpp"
#include "server/fields.hpp"

namespace kestrune::server::anthropic_api {

namespace {

std::string error_type(int status) {
    switch (status) {
        case 401:
            return "authentication_error";
        case 403:
            return "permission_error";
        case 404:
            return "not_found_error";
        case 413:
            return "request_too_large";
        case 429:
            return "rate_limit_error";
        case 503:
            return "overloaded_error";
        default:
            return status >= 500 ? "api_error" : "invalid_request_error";
    }
}

Json error_body(int status, const std::string& message) {
    return {{"type", "error"}, {"error", {{"type", error_type(status)}, {"message", message}}}};
}

std::string event(const std::string& name, const Json& data) {
    return "event: " + name + "\ndata: " + fields::to_text(data) + "\n\n";
}

// The text of a content that is a text or a list of blocks, its "text" blocks joined; any
// other block is refused, naming `where`.
std::string plain_text(const Json& content, const std::string& where) {
    if (content.is_string()) {
        return content.get<std::string>();
    }
    if (!content.is_array()) {
        throw RequestError(400, "'" + where + "' must be a text or a list of content blocks");
    }
    std::string text;
    for (const Json& block : content) {
        if (!block.is_object() || fields::text(block, "type").value_or("") != "text") {
            throw RequestError(400, "'" + where + "' may hold only text blocks here");
        }
        text += fields::required_text(block, "text");
    }
    return text;
}

// An assistant turn's blocks as one OpenAI message: text as content, thinking as its
// reasoning, tool_use blocks as its calls.
Json assistant_message(const Json& blocks, const std::string& where) {
    Json message = {{"role", "assistant"}, {"content", ""}};
    std::string content;
    std::string reasoning;
    Json calls = Json::array();
    for (const Json& block : blocks) {
        const std::string type = block.is_object() ? fields::text(block, "type").value_or("") : "";
        if (type == "text") {
            content += fields::required_text(block, "text");
        } else if (type == "thinking") {
            reasoning += fields::text(block, "thinking").value_or("");
        } else if (type == "redacted_thinking") {
            continue;  // opaque to every model but the one that wrote it
        } else if (type == "tool_use") {
            const auto input = block.find("input");
            calls.push_back(
                {{"id", fields::required_text(block, "id")},
                 {"type", "function"},
                 {"function",
                  {{"name", fields::required_text(block, "name")},
                   {"arguments",
                    fields::to_text(input != block.end() ? *input : Json::object())}}}});
        } else {
            throw RequestError(400, "'" + where + "' holds a block of type '" + type +
                                        "', which an assistant turn cannot carry");
        }
    }
    message["content"] = content;
    if (!reasoning.empty()) {
        message["reasoning_content"] = reasoning;
    }
    if (!calls.empty()) {
        message["tool_calls"] = calls;
    }
    return message;
}

// A user turn's blocks: each tool_result as a tool message (first, as they answer the calls
// just before), then the text, if any.
void add_user_turn(const Json& blocks, const std::string& where, Json& messages) {
    std::string text;
    for (const Json& block : blocks) {
        const std::string type = block.is_object() ? fields::text(block, "type").value_or("") : "";
        if (type == "text") {
            text += fields::required_text(block, "text");
        } else if (type == "tool_result") {
            const auto content = block.find("content");
            std::string result = content != block.end() && !content->is_null()
                                     ? plain_text(*content, where + ".content")
                                     : std::string();
            if (fields::flag(block, "is_error").value_or(false)) {
                result = "Error: " + result;
            }
            messages.push_back({{"role", "tool"},
                                {"tool_call_id", fields::required_text(block, "tool_use_id")},
                                {"content", result}});
        } else {
            throw RequestError(400, "'" + where + "' holds a block of type '" + type +
                                        "', which this server cannot read");
        }
    }
    if (!text.empty()) {
        messages.push_back({{"role", "user"}, {"content", text}});
    }
}

// The conversation in the OpenAI form the shared reader takes.
Json openai_messages(const Json& body) {
    Json messages = Json::array();
    if (const auto system = body.find("system"); system != body.end() && !system->is_null()) {
        messages.push_back({{"role", "system"}, {"content", plain_text(*system, "system")}});
    }
    const auto turns = body.find("messages");
    if (turns == body.end() || !turns->is_array() || turns->empty()) {
        throw RequestError(400, "'messages' must be a non-empty list");
    }
    for (std::size_t i = 0; i < turns->size(); ++i) {
        const Json& turn = (*turns)[i];
        const std::string where = "messages[" + std::to_string(i) + "]";
        if (!turn.is_object()) {
            throw RequestError(400, "'" + where + "' must be an object");
        }
        const std::string role = fields::required_text(turn, "role");
        if (role != "user" && role != "assistant") {
            throw RequestError(400, "'" + where + ".role' must be \"user\" or \"assistant\"");
        }
        const auto content = turn.find("content");
        if (content == turn.end() || (!content->is_string() && !content->is_array())) {
            throw RequestError(400, "'" + where + ".content' must be a text or a list of blocks");
        }
        if (content->is_string()) {
            messages.push_back({{"role", role}, {"content", *content}});
        } else if (role == "assistant") {
            messages.push_back(assistant_message(*content, where + ".content"));
        } else {
            add_user_turn(*content, where + ".content", messages);
        }
    }
    return messages;
}

// An Anthropic tool ({"name", "description", "input_schema"}) in the shared form.
Json shared_tool(const Json& tool) {
    if (!tool.is_object() || !tool.contains("input_schema")) {
        throw RequestError(400,
                           "'tools' may hold only custom tools with a name and an "
                           "'input_schema'");
    }
    Json function = {{"name", tool.value("name", Json())}, {"parameters", tool["input_schema"]}};
    if (tool.contains("description")) {
        function["description"] = tool["description"];
    }
    return {{"type", "function"}, {"function", function}};
}

void tool_choice(const Json& body, AnswerRequest& request) {
    const auto choice = body.find("tool_choice");
    if (choice == body.end() || choice->is_null()) {
        return;
    }
    if (!choice->is_object()) {
        throw RequestError(400, "'tool_choice' must be an object with a 'type'");
    }
    if (const auto single = fields::flag(*choice, "disable_parallel_tool_use"); single) {
        request.parallel_tool_calls = !*single;
    }
    const std::string type = fields::required_text(*choice, "type");
    if (type == "auto") {
        return;
    }
    if (type == "none") {
        request.tools.clear();
        return;
    }
    if (type == "tool") {
        require_tool(request, fields::required_text(*choice, "name"), "tool");
    } else if (type == "any") {
        request.require_tool_call = true;
    } else {
        throw RequestError(400,
                           "'tool_choice.type' must be \"auto\", \"any\", \"tool\" or \"none\"");
    }
}

// {"type": "enabled", "budget_tokens": …} or {"type": "disabled"}; absent: as the template
// defaults.
std::optional<bool> thinking(const Json& body) {
    const auto given = body.find("thinking");
    if (given == body.end() || given->is_null()) {
        return std::nullopt;
    }
    const std::string type = given->is_object() ? fields::text(*given, "type").value_or("") : "";
    if (type != "enabled" && type != "disabled") {
        throw RequestError(400, "'thinking.type' must be \"enabled\" or \"disabled\"");
    }
    return type == "enabled";
}

// The reply's blocks: its thinking, its text and its calls, each call's input as an object.
Json content_blocks(const ChatReply& reply) {
    Json blocks = Json::array();
    if (!reply.reasoning.empty()) {
        blocks.push_back({{"type", "thinking"}, {"thinking", reply.reasoning}, {"signature", ""}});
    }
    if (!reply.content.empty() || reply.tool_calls.empty()) {
        blocks.push_back({{"type", "text"}, {"text", reply.content}});
    }
    for (const ToolCall& call : reply.tool_calls) {
        Json input = Json::parse(call.arguments, nullptr, false);
        blocks.push_back({{"type", "tool_use"},
                          {"id", call.id.empty() ? new_id("toolu_") : call.id},
                          {"name", call.name},
                          {"input", input.is_object() ? input : Json::object()}});
    }
    return blocks;
}

// "stop_reason" and "stop_sequence": a call asked for, the limit, one of the caller's stop
// texts, or the model's own end of turn.
Json stop_fields(const Answer& answer, const std::vector<std::string>& stops) {
    Json fields = {{"stop_reason", "end_turn"}, {"stop_sequence", nullptr}};
    const std::string& matched = answer.summary().stop_text;
    if (!answer.reply().tool_calls.empty()) {
        fields["stop_reason"] = "tool_use";
    } else if (answer.finish_reason() == "length") {
        fields["stop_reason"] = "max_tokens";
    } else if (!matched.empty() && std::ranges::find(stops, matched) != stops.end()) {
        fields["stop_reason"] = "stop_sequence";
        fields["stop_sequence"] = matched;
    }
    return fields;
}

Json message_start(const std::string& id, const Answer& answer) {
    return {{"id", id},
            {"type", "message"},
            {"role", "assistant"},
            {"model", answer.model_name()},
            {"content", Json::array()},
            {"stop_reason", nullptr},
            {"stop_sequence", nullptr},
            {"usage", {{"input_tokens", answer.prompt_tokens()}, {"output_tokens", 0}}}};
}

Response whole(Answer& answer, const std::string& id, const std::vector<std::string>& stops,
               AccessNote& note) {
    answer.rest();
    note.record(answer.summary());
    Json body = message_start(id, answer);
    body["content"] = content_blocks(answer.reply());
    body.update(stop_fields(answer, stops));
    body["usage"] = {{"input_tokens", answer.summary().prompt_tokens},
                     {"output_tokens", answer.summary().completion_tokens}};
    return json_answer(body);
}

// The blocks of a stream: thinking and text each open a block when they begin, closing the
// one before.
class BlockStream {
  public:
    std::string piece(const Answer::Delta& delta) {
        std::string events;
        if (!delta.reasoning.empty()) {
            events += open("thinking");
            events += delta_event({{"type", "thinking_delta"}, {"thinking", delta.reasoning}});
        }
        if (!delta.content.empty()) {
            events += open("text");
            events += delta_event({{"type", "text_delta"}, {"text", delta.content}});
        }
        return events;
    }

    // The open block closed, then each call as a block of its own.
    std::string calls(const ChatReply& reply) {
        std::string events = close();
        for (const Json& block : content_blocks(reply)) {
            if (block["type"] != "tool_use") {
                continue;
            }
            Json empty = block;
            empty["input"] = Json::object();
            events += start(empty);
            events += delta_event(
                {{"type", "input_json_delta"}, {"partial_json", fields::to_text(block["input"])}});
            events += close();
        }
        return events;
    }

  private:
    std::string open(const std::string& type) {
        if (open_ == type) {
            return {};
        }
        std::string events = close();
        return events +
               start(type == "text"
                         ? Json{{"type", "text"}, {"text", ""}}
                         : Json{{"type", "thinking"}, {"thinking", ""}, {"signature", ""}});
    }

    std::string start(const Json& block) {
        ++index_;
        open_ = block["type"].get<std::string>();
        return event(
            "content_block_start",
            {{"type", "content_block_start"}, {"index", index_}, {"content_block", block}});
    }

    std::string close() {
        if (open_.empty()) {
            return {};
        }
        open_.clear();
        return event("content_block_stop", {{"type", "content_block_stop"}, {"index", index_}});
    }

    std::string delta_event(const Json& delta) const {
        return event("content_block_delta",
                     {{"type", "content_block_delta"}, {"index", index_}, {"delta", delta}});
    }

    int index_ = -1;
    std::string open_;  // the type of the block open, "" between blocks
};

Response streamed(std::shared_ptr<Answer> answer, const std::string& id,
                  std::vector<std::string> stops, std::shared_ptr<AccessNote> note) {
    auto blocks = std::make_shared<BlockStream>();
    EventFormat format{
        .piece = [blocks](const Answer::Delta& piece) { return blocks->piece(piece); },
        .end =
            [blocks, stops](const Answer& done) {
                Json delta = stop_fields(done, stops);
                return blocks->calls(done.reply()) +
                       event("message_delta",
                             {{"type", "message_delta"},
                              {"delta", delta},
                              {"usage", {{"output_tokens", done.summary().completion_tokens}}}}) +
                       event("message_stop", {{"type", "message_stop"}});
            },
        .error =
            [](const std::exception& failure) {
                return event("error", error_body(status_for(failure), failure.what()));
            },
    };
    Response response{.status = 200, .content_type = "text/event-stream", .body = {}, .stream = {}};
    response.stream = [answer, id, format, note](platform::http_server::Sink& sink) {
        const Json start = {{"type", "message_start"}, {"message", message_start(id, *answer)}};
        // A ping follows the start, as Anthropic's own streams send one.
        if (!sink.write(event("message_start", start) + event("ping", {{"type", "ping"}}))) {
            answer->cancel();
            return;
        }
        stream_events(*answer, sink, format, *note);
    };
    return response;
}

}  // namespace

bool owns(const std::string& path) {
    return path == "/v1/messages" || path.starts_with("/v1/messages/");
}

AnswerRequest answer_request(const Json& body, const ServeContext& context, bool counting) {
    AnswerRequest request;
    request.model = requested_model(body, context);
    request.messages = fields::messages(Json{{"messages", openai_messages(body)}}, "messages");
    request.tools = fields::tools(body, "tools", shared_tool);
    tool_choice(body, request);
    request.think = thinking(body);
    if (counting) {
        return request;
    }
    const auto max_tokens = fields::token_limit(body, "max_tokens");
    if (!max_tokens) {
        throw RequestError(400, "'max_tokens' is required");
    }
    request.sampling.max_tokens = *max_tokens;
    fields::sampling_controls(body, request.sampling);
    request.stop = fields::texts(body, "stop_sequences");
    return request;
}

Response error(int status, const std::string& message) {
    return json_answer(error_body(status, message), status);
}

Response messages(const ServeContext& context, const Request& request,
                  const std::shared_ptr<AccessNote>& note) {
    const Json body = fields::parse_object(request.body);
    const AnswerRequest wanted = answer_request(body, context, false);
    auto answer = std::make_shared<Answer>(context.pool, wanted);
    const std::string id = new_id("msg_");
    if (fields::flag(body, "stream").value_or(false)) {
        return streamed(std::move(answer), id, wanted.stop, note);
    }
    return whole(*answer, id, wanted.stop, *note);
}

Response count_tokens(const ServeContext& context, const Request& request) {
    const AnswerRequest wanted = answer_request(fields::parse_object(request.body), context, true);
    const auto model = context.pool.acquire(wanted.model);
    const auto& weights = model->model->weights();
    const auto rendered = weights.render_chat(
        *wanted.messages, inference::template_options(wanted.tools, wanted.think));
    return json_answer({{"input_tokens", weights.tokenize(rendered.prompt).size()}});
}

}  // namespace kestrune::server::anthropic_api
