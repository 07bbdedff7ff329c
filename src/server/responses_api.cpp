#include "server/responses_api.hpp"

#include <algorithm>
#include <chrono>

#include "inference/output_format.hpp"
#include "server/answer.hpp"
#include "server/fields.hpp"

namespace kestrune::server::responses_api {

namespace {

// The text of a content that is a text or a list of input_text/output_text parts.
std::string content_text(const Json& content, const std::string& where) {
    if (content.is_string()) {
        return content.get<std::string>();
    }
    if (!content.is_array()) {
        throw RequestError(400, "'" + where + "' must be a text or a list of content parts");
    }
    std::string text;
    for (const Json& part : content) {
        const std::string type = part.is_object() ? fields::text(part, "type").value_or("") : "";
        if (type != "input_text" && type != "output_text") {
            throw RequestError(400, "'" + where + "' holds a part of type '" + type +
                                        "', which this server cannot read");
        }
        text += fields::required_text(part, "text");
    }
    return text;
}

// A function_call item as a call of the assistant's last message (a new one when the last
// message is not the assistant's).
void add_call(const Json& item, Json& messages) {
    const Json call = {{"id", fields::required_text(item, "call_id")},
                       {"type", "function"},
                       {"function",
                        {{"name", fields::required_text(item, "name")},
                         {"arguments", fields::text(item, "arguments").value_or("{}")}}}};
    if (messages.empty() || messages.back()["role"] != "assistant") {
        messages.push_back({{"role", "assistant"}, {"content", ""}});
    }
    Json& last = messages.back();
    if (!last.contains("tool_calls")) {
        last["tool_calls"] = Json::array();
    }
    last["tool_calls"].push_back(call);
}

// The conversation in the OpenAI chat form the shared reader takes.
Json chat_messages(const Json& body) {
    Json messages = Json::array();
    if (const auto instructions = fields::text(body, "instructions")) {
        messages.push_back({{"role", "system"}, {"content", *instructions}});
    }
    const auto input = body.find("input");
    if (input == body.end() || (!input->is_string() && !input->is_array())) {
        throw RequestError(400, "'input' must be a text or a list of items");
    }
    if (input->is_string()) {
        messages.push_back({{"role", "user"}, {"content", *input}});
        return messages;
    }
    for (std::size_t i = 0; i < input->size(); ++i) {
        const Json& item = (*input)[i];
        const std::string where = "input[" + std::to_string(i) + "]";
        if (!item.is_object()) {
            throw RequestError(400, "'" + where + "' must be an object");
        }
        const std::string type = fields::text(item, "type").value_or("message");
        if (type == "message") {
            std::string role = fields::required_text(item, "role");
            if (role == "developer") {
                role = "system";
            }
            const auto content = item.find("content");
            if (content == item.end()) {
                throw RequestError(400, "'" + where + ".content' is required");
            }
            messages.push_back(
                {{"role", role}, {"content", content_text(*content, where + ".content")}});
        } else if (type == "function_call") {
            add_call(item, messages);
        } else if (type == "function_call_output") {
            const auto output = item.find("output");
            messages.push_back(
                {{"role", "tool"},
                 {"tool_call_id", fields::required_text(item, "call_id")},
                 {"content", output != item.end() ? content_text(*output, where + ".output")
                                                  : std::string()}});
        } else if (type != "reasoning") {  // a model's own reasoning is not shown to it again
            throw RequestError(400, "'" + where + "' is an item of type '" + type +
                                        "', which this server cannot read");
        }
    }
    return messages;
}

// A function tool, flat as this API sends it, in the shared form.
Json shared_tool(const Json& tool) {
    if (!tool.is_object() || tool.value("type", "") != "function") {
        throw RequestError(400, "'tools' may hold only tools of type \"function\" here");
    }
    Json function = {{"name", tool.value("name", Json())}};
    for (const char* key : {"description", "parameters"}) {
        if (tool.contains(key) && !tool[key].is_null()) {
            function[key] = tool[key];
        }
    }
    return {{"type", "function"}, {"function", function}};
}

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
    if (!choice->is_object() || choice->value("type", "") != "function") {
        throw RequestError(400,
                           "'tool_choice' must be \"auto\", \"none\", \"required\" or "
                           "{\"type\": \"function\", \"name\": …}");
    }
    require_tool(request, fields::required_text(*choice, "name"), "function");
}

// "text": {"format": {"type": "text" | "json_object" | "json_schema", "schema": …}}.
std::string grammar_of(const Json& body) {
    const auto text = body.find("text");
    if (text == body.end() || !text->is_object() || !text->contains("format")) {
        return {};
    }
    const Json& format = (*text)["format"];
    const std::string type = format.is_object() ? fields::text(format, "type").value_or("") : "";
    if (type == "text") {
        return {};
    }
    if (type == "json_object") {
        return inference::output_format::json_object_grammar();
    }
    if (type == "json_schema") {
        const auto schema = format.find("schema");
        if (schema == format.end() || !schema->is_object()) {
            throw RequestError(400, "'text.format.schema' must be a JSON schema");
        }
        return fields::schema_grammar(*schema, "text.format.schema");
    }
    throw RequestError(400,
                       "'text.format.type' must be \"text\", \"json_object\" or \"json_schema\"");
}

// What a response says of itself; `output` and `status` follow as it is answered.
struct Header {
    std::string id;
    std::int64_t created_at;
    std::string model;
    Json echoed;  // the request's settings, as this API repeats them

    Json start(const std::string& status) const {
        Json response = {
            {"id", id},         {"object", "response"},    {"created_at", created_at},
            {"status", status}, {"error", nullptr},        {"incomplete_details", nullptr},
            {"model", model},   {"output", Json::array()}, {"previous_response_id", nullptr},
            {"store", false},   {"usage", nullptr}};
        response.update(echoed);
        return response;
    }
};

Json echoed_settings(const Json& body, const AnswerRequest& request) {
    Json echoed = {{"instructions", body.value("instructions", Json())},
                   {"max_output_tokens", body.value("max_output_tokens", Json())},
                   {"temperature", request.sampling.temperature},
                   {"top_p", request.sampling.top_p},
                   {"tools", body.value("tools", Json::array())},
                   {"tool_choice", body.value("tool_choice", Json("auto"))},
                   {"parallel_tool_calls", request.parallel_tool_calls.value_or(true)},
                   {"text", body.value("text", Json{{"format", {{"type", "text"}}}})},
                   {"reasoning", body.value("reasoning", Json())},
                   {"truncation", "disabled"},
                   {"metadata", body.value("metadata", Json::object())}};
    return echoed;
}

Json usage(const GenerationSummary& summary) {
    return {{"input_tokens", summary.prompt_tokens},
            {"input_tokens_details",
             {{"cached_tokens", summary.prompt_tokens - summary.evaluated_tokens}}},
            {"output_tokens", summary.completion_tokens},
            {"output_tokens_details", {{"reasoning_tokens", 0}}},
            {"total_tokens", summary.prompt_tokens + summary.completion_tokens}};
}

Json reasoning_item(const std::string& id, const std::string& text) {
    Json summary = Json::array();
    if (!text.empty()) {
        summary.push_back({{"type", "summary_text"}, {"text", text}});
    }
    return {{"id", id}, {"type", "reasoning"}, {"summary", summary}, {"status", "completed"}};
}

Json text_part(const std::string& text) {
    return {{"type", "output_text"}, {"text", text}, {"annotations", Json::array()}};
}

Json message_item(const std::string& id, const std::string& text, const std::string& status) {
    Json content = Json::array();
    if (status == "completed") {
        content.push_back(text_part(text));
    }
    return {{"id", id},
            {"type", "message"},
            {"role", "assistant"},
            {"status", status},
            {"content", content}};
}

Json call_item(const ToolCall& call, const std::string& arguments, const std::string& status) {
    return {{"id", new_id("fc_")},
            {"type", "function_call"},
            {"call_id", call.id.empty() ? new_id("call_") : call.id},
            {"name", call.name},
            {"arguments", arguments},
            {"status", status}};
}

// "completed", or "incomplete" at the token limit.
std::string status_of(const Answer& answer) {
    return answer.finish_reason() == "length" ? "incomplete" : "completed";
}

// The whole response once the answer has ended; `output` as streamed when given.
Json finished(const Header& header, const Answer& answer, Json output) {
    Json response = header.start(status_of(answer));
    response["output"] = std::move(output);
    if (answer.finish_reason() == "length") {
        response["incomplete_details"] = {{"reason", "max_output_tokens"}};
    }
    response["usage"] = usage(answer.summary());
    return response;
}

Json output_items(const ChatReply& reply) {
    Json output = Json::array();
    if (!reply.reasoning.empty()) {
        output.push_back(reasoning_item(new_id("rs_"), reply.reasoning));
    }
    if (!reply.content.empty() || reply.tool_calls.empty()) {
        output.push_back(message_item(new_id("msg_"), reply.content, "completed"));
    }
    for (const ToolCall& call : reply.tool_calls) {
        output.push_back(call_item(call, call.arguments, "completed"));
    }
    return output;
}

// The items of a stream: the reasoning and the message each open an item when they begin,
// closing the one before; the calls come whole at the end.
class ItemStream {
  public:
    explicit ItemStream(Header header) : header_(std::move(header)) {}

    std::string begin() {
        const Json response = header_.start("in_progress");
        // One event a statement: each takes the next sequence number.
        std::string events = event("response.created", {{"response", response}});
        events += event("response.in_progress", {{"response", response}});
        return events;
    }

    std::string piece(const Answer::Delta& delta) {
        std::string events;
        if (!delta.reasoning.empty()) {
            events += open("reasoning");
            text_ += delta.reasoning;
            events += event("response.reasoning_summary_text.delta",
                            at_item({{"summary_index", 0}, {"delta", delta.reasoning}}));
        }
        if (!delta.content.empty()) {
            events += open("message");
            text_ += delta.content;
            events += event("response.output_text.delta",
                            at_item({{"content_index", 0}, {"delta", delta.content}}));
        }
        return events;
    }

    std::string end(const Answer& answer) {
        std::string events = close();
        if (output_.empty() && answer.reply().tool_calls.empty()) {
            events += open("message");  // an empty answer is an empty message
            events += close();
        }
        for (const ToolCall& call : answer.reply().tool_calls) {
            Json item = call_item(call, "", "in_progress");
            events += added(item);
            item_id_ = item["id"];
            events += event("response.function_call_arguments.delta",
                            at_item({{"delta", call.arguments}}));
            events += event("response.function_call_arguments.done",
                            at_item({{"arguments", call.arguments}}));
            item["arguments"] = call.arguments;
            item["status"] = "completed";
            events += done(item);
        }
        const std::string type =
            status_of(answer) == "incomplete" ? "response.incomplete" : "response.completed";
        events += event(type, {{"response", finished(header_, answer, output_)}});
        return events;
    }

    std::string failure(const std::exception& error) {
        return event("error", {{"code", nullptr}, {"message", error.what()}, {"param", nullptr}});
    }

  private:
    std::string event(const std::string& type, Json data) {
        data["type"] = type;
        data["sequence_number"] = sequence_++;
        return "event: " + type + "\ndata: " + fields::to_text(data) + "\n\n";
    }

    Json at_item(Json fields) const {
        fields["item_id"] = item_id_;
        fields["output_index"] = static_cast<int>(output_.size());
        return fields;
    }

    std::string added(const Json& item) {
        return event("response.output_item.added",
                     {{"output_index", static_cast<int>(output_.size())}, {"item", item}});
    }

    std::string done(const Json& item) {
        std::string events =
            event("response.output_item.done",
                  {{"output_index", static_cast<int>(output_.size())}, {"item", item}});
        output_.push_back(item);
        return events;
    }

    std::string open(const std::string& type) {
        if (open_ == type) {
            return {};
        }
        std::string events = close();
        open_ = type;
        text_.clear();
        if (type == "reasoning") {
            item_id_ = new_id("rs_");
            Json item = reasoning_item(item_id_, "");
            item["status"] = "in_progress";
            events += added(item);
            events += event("response.reasoning_summary_part.added",
                            at_item({{"summary_index", 0},
                                     {"part", {{"type", "summary_text"}, {"text", ""}}}}));
            return events;
        }
        item_id_ = new_id("msg_");
        events += added(message_item(item_id_, "", "in_progress"));
        events += event("response.content_part.added",
                        at_item({{"content_index", 0}, {"part", text_part("")}}));
        return events;
    }

    std::string close() {
        if (open_.empty()) {
            return {};
        }
        std::string events;
        if (open_ == "reasoning") {
            events += event("response.reasoning_summary_text.done",
                            at_item({{"summary_index", 0}, {"text", text_}}));
            events += event("response.reasoning_summary_part.done",
                            at_item({{"summary_index", 0},
                                     {"part", {{"type", "summary_text"}, {"text", text_}}}}));
            events += done(reasoning_item(item_id_, text_));
        } else {
            events += event("response.output_text.done",
                            at_item({{"content_index", 0}, {"text", text_}}));
            events += event("response.content_part.done",
                            at_item({{"content_index", 0}, {"part", text_part(text_)}}));
            events += done(message_item(item_id_, text_, "completed"));
        }
        open_.clear();
        return events;
    }

    Header header_;
    int sequence_ = 0;
    Json output_ = Json::array();  // the items done
    std::string open_;             // the type of the item open, "" between items
    std::string item_id_;
    std::string text_;  // of the item open
};

Response streamed(std::shared_ptr<Answer> answer, const Header& header,
                  std::shared_ptr<AccessNote> note) {
    auto items = std::make_shared<ItemStream>(header);
    EventFormat format{
        .piece = [items](const Answer::Delta& piece) { return items->piece(piece); },
        .end = [items](const Answer& done) { return items->end(done); },
        .error = [items](const std::exception& failure) { return items->failure(failure); },
    };
    Response response{.status = 200, .content_type = "text/event-stream", .body = {}, .stream = {}};
    response.stream = [answer, items, format, note](platform::http_server::Sink& sink) {
        if (!sink.write(items->begin())) {
            answer->cancel();
            return;
        }
        stream_events(*answer, sink, format, *note);
    };
    return response;
}

}  // namespace

AnswerRequest answer_request(const Json& body, const ServeContext& context) {
    if (const auto previous = body.find("previous_response_id");
        previous != body.end() && !previous->is_null()) {
        throw RequestError(400,
                           "'previous_response_id' cannot be answered: this server keeps no "
                           "responses; send the whole conversation in 'input'");
    }
    AnswerRequest request;
    request.model = requested_model(body, context);
    request.messages = fields::messages(Json{{"messages", chat_messages(body)}}, "messages");
    request.tools = fields::tools(body, "tools", shared_tool);
    tool_choice(body, request);
    request.parallel_tool_calls = fields::flag(body, "parallel_tool_calls");
    if (const auto reasoning = body.find("reasoning");
        reasoning != body.end() && reasoning->is_object()) {
        request.think = true;
    }
    if (const auto most = fields::token_limit(body, "max_output_tokens")) {
        request.sampling.max_tokens = *most;
    }
    fields::sampling_controls(body, request.sampling);
    request.sampling.grammar = grammar_of(body);
    return request;
}

Response responses(const ServeContext& context, const Request& request,
                   const std::shared_ptr<AccessNote>& note) {
    const Json body = fields::parse_object(request.body);
    const AnswerRequest wanted = answer_request(body, context);
    auto answer = std::make_shared<Answer>(context.pool, wanted);
    const Header header{.id = new_id("resp_"),
                        .created_at = std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count(),
                        .model = answer->model_name(),
                        .echoed = echoed_settings(body, wanted)};
    if (fields::flag(body, "stream").value_or(false)) {
        return streamed(std::move(answer), header, note);
    }
    answer->rest();
    note->record(answer->summary());
    return json_answer(finished(header, *answer, output_items(answer->reply())));
}

}  // namespace kestrune::server::responses_api
