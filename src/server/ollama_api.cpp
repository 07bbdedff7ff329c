#include "server/ollama_api.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/output.hpp"
#include "inference/output_format.hpp"
#include "kestrune/engine/inventory.hpp"
#include "server/fields.hpp"
#include "server/model_details.hpp"

namespace kestrune::server::ollama_api {

namespace {

using std::chrono::system_clock;

// RFC 3339 in UTC with microseconds: "2026-12-09T03:30:00.123456Z".
std::string timestamp(system_clock::time_point when) {
    const std::time_t seconds = system_clock::to_time_t(when);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count() %
        1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 64> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text.data() + length, text.size() - length, ".%06lldZ",
                  static_cast<long long>(micros));
    return text.data();
}

Json describe(const LocalModel& model) {
    return {{"name", model.name},
            {"model", model.name},
            {"modified_at", timestamp(model.modified)},
            {"size", model.size_bytes},
            {"digest", ""},
            {"details", model_details(model.path)}};
}

std::string model_of(const Json& body, const ServeContext& context) {
    std::string model = fields::text(body, "model").value_or("");
    if (model.empty()) {
        model = fields::text(body, "name").value_or(context.default_model);
    }
    if (model.empty()) {
        throw RequestError(400, "model is required");
    }
    return model;
}

Json line_start(const std::string& model) {
    return {{"model", model}, {"created_at", timestamp(system_clock::now())}};
}

Json piece_line(const std::string& model, bool chat, const Answer::Delta& piece,
                const std::vector<ToolCall>& calls = {}) {
    Json line = line_start(model);
    if (chat) {
        line["message"] = reply_message(piece, calls);
    } else {
        line["response"] = piece.content;
        if (!piece.reasoning.empty()) {
            line["thinking"] = piece.reasoning;
        }
    }
    return line;
}

// The last line: `whole` when the answer is not streamed, else nothing more of the reply.
Json final_line(const Answer& answer, bool chat, bool whole, std::chrono::nanoseconds total) {
    const GenerationSummary& summary = answer.summary();
    const ChatReply& reply = answer.reply();
    Json line = whole ? piece_line(answer.model_name(), chat,
                                   {.reasoning = reply.reasoning, .content = reply.content},
                                   reply.tool_calls)
                      : piece_line(answer.model_name(), chat, {});
    line["done_reason"] = answer.finish_reason();
    line["done"] = true;
    line["total_duration"] = total.count();
    line["load_duration"] = summary.queued.count();
    line["prompt_eval_count"] = summary.prompt_tokens;
    line["prompt_eval_duration"] = summary.prompt_eval.count();
    line["eval_count"] = summary.completion_tokens;
    line["eval_duration"] = summary.eval.count();
    return line;
}

std::string ndjson(const Json& line) {
    return fields::to_text(line) + "\n";
}

// A generate without a prompt, or a chat without messages: front ends load and unload models so.
bool nothing_to_answer(const Json& body, bool chat) {
    if (!chat) {
        return fields::text(body, "prompt").value_or("").empty();
    }
    const auto messages = body.find("messages");
    return messages == body.end() || messages->is_null() ||
           (messages->is_array() && messages->empty());
}

// Loads the model, or with a keep_alive of 0 unloads it: {"done_reason": "load" or "unload"}.
Response load_or_unload(const ServeContext& context, const Json& body, bool chat) {
    const std::string reference = model_of(body, context);
    const auto keep_alive = fields::keep_alive(body);
    const bool unload = keep_alive && keep_alive->count() == 0;
    const auto model =
        unload ? context.pool.find_loaded(reference) : context.pool.acquire(reference, keep_alive);
    if (unload && model) {
        context.pool.unload(model);
    }
    Json line = line_start(model ? model->known.name : context.pool.locate(reference).name);
    if (chat) {
        line["message"] = {{"role", "assistant"}, {"content", ""}};
    } else {
        line["response"] = "";
    }
    line["done_reason"] = unload ? "unload" : "load";
    line["done"] = true;
    return json_answer(line);
}

Response answer(const ServeContext& context, const Request& request,
                const std::shared_ptr<AccessNote>& note, bool chat) {
    const auto began = std::chrono::steady_clock::now();
    const Json body = fields::parse_object(request.body);
    if (nothing_to_answer(body, chat)) {
        return load_or_unload(context, body, chat);
    }
    const AnswerRequest wanted = answer_request(body, context, chat);
    const bool stream = fields::flag(body, "stream").value_or(true);
    auto running = std::make_shared<Answer>(context.pool, wanted);
    auto elapsed = [began] { return std::chrono::steady_clock::now() - began; };
    if (!stream) {
        running->rest();
        note->record(running->summary());
        return json_answer(final_line(*running, chat, true, elapsed()));
    }
    const std::string model = running->model_name();
    EventFormat format{
        .piece =
            [model, chat](const Answer::Delta& piece) {
                Json line = piece_line(model, chat, piece);
                line["done"] = false;
                return ndjson(line);
            },
        .end =
            [model, chat, elapsed](const Answer& done) {
                std::string lines;
                // The calls come whole, once the reply is read, as Ollama sends them.
                if (const auto& calls = done.reply().tool_calls; chat && !calls.empty()) {
                    Json line = piece_line(model, chat, {}, calls);
                    line["done"] = false;
                    lines += ndjson(line);
                }
                return lines + ndjson(final_line(done, chat, false, elapsed()));
            },
        .error =
            [](const std::exception& failure) {
                return ndjson({{"error", failure.what()}});
            },
    };
    Response response{
        .status = 200, .content_type = "application/x-ndjson", .body = {}, .stream = {}};
    response.stream = [running, format, note](platform::http_server::Sink& sink) {
        stream_events(*running, sink, format, *note);
    };
    return response;
}

// Ollama's format: "json" (any JSON object) or a JSON schema.
std::string format_grammar(const Json& body) {
    const auto format = body.find("format");
    if (format == body.end() || format->is_null() || *format == "") {
        return {};
    }
    if (*format == "json") {
        return inference::output_format::json_object_grammar();
    }
    if (!format->is_object()) {
        throw RequestError(400, "'format' must be \"json\" or a JSON schema");
    }
    return fields::schema_grammar(*format, "format");
}

}  // namespace

AnswerRequest answer_request(const Json& body, const ServeContext& context, bool chat) {
    AnswerRequest request;
    request.model = model_of(body, context);
    request.keep_alive = fields::keep_alive(body);
    if (chat) {
        request.messages = fields::messages(body, "messages");
        request.tools = fields::tools(body, "tools");
    }
    // true or false, or a level ("high", "medium", "low"), which asks for thinking.
    if (const auto think = body.find("think"); think != body.end() && !think->is_null()) {
        if (!think->is_boolean() && !think->is_string()) {
            throw RequestError(400, "'think' must be true, false or a level");
        }
        request.think = think->is_boolean() ? think->get<bool>() : true;
    }
    if (!chat) {
        request.prompt = fields::text(body, "prompt").value_or("");
        if (!fields::flag(body, "raw").value_or(false)) {
            Messages messages;
            if (const auto system = fields::text(body, "system"); system && !system->empty()) {
                messages.emplace_back("system", *system);
            }
            messages.emplace_back("user", request.prompt);
            request.messages = std::move(messages);
        }
    }
    request.sampling.grammar = format_grammar(body);
    const auto options = body.find("options");
    if (options == body.end() || options->is_null()) {
        return request;
    }
    if (!options->is_object()) {
        throw RequestError(400, "'options' must be an object");
    }
    // Ollama reads a negative num_predict as "no limit".
    if (const auto limit = fields::integer(*options, "num_predict"); limit && *limit > 0) {
        request.sampling.max_tokens = static_cast<int>(std::min<long long>(*limit, 1 << 30));
    }
    fields::sampling_controls(*options, request.sampling);
    // The server sets each request's context and keeps no tokens aside when the context is
    // full (it ends the answer instead): these values are only checked.
    static_cast<void>(fields::integer(*options, "num_ctx"));
    static_cast<void>(fields::integer(*options, "num_keep"));
    request.stop = fields::texts(*options, "stop");
    return request;
}

Json reply_message(const Answer::Delta& piece, const std::vector<ToolCall>& calls) {
    Json message = {{"role", "assistant"}, {"content", piece.content}};
    if (!piece.reasoning.empty()) {
        message["thinking"] = piece.reasoning;
    }
    if (!calls.empty()) {
        Json list = Json::array();
        for (const ToolCall& call : calls) {
            list.push_back(
                {{"function",
                  {{"name", call.name}, {"arguments", parse_answer(call.arguments, false)}}}});
        }
        message["tool_calls"] = std::move(list);
    }
    return message;
}

Response error(int status, const std::string& message) {
    return json_answer({{"error", message}}, status);
}

Response version() {
    return json_answer({{"version", kApiVersion}});
}

Response tags(const ServeContext& context) {
    Json models = Json::array();
    for (const LocalModel& model : local_models(context.pool)) {
        models.push_back(describe(model));
    }
    return json_answer({{"models", models}});
}

Response show(const ServeContext& context, const Request& request) {
    const Json body = fields::parse_object(request.body);
    const std::string path = context.pool.locate(model_of(body, context)).path;
    Json shown = model_card(path);
    shown["modelfile"] = "";
    shown["parameters"] = "";
    shown["system"] = "";
    shown["modified_at"] = timestamp(describe_file("", path).modified);
    return json_answer(shown);
}

Response ps(const ServeContext& context) {
    Json models = Json::array();
    for (const auto& loaded : context.pool.loaded()) {
        Json entry = describe(describe_file(loaded->known.name, loaded->known.path));
        entry.erase("modified_at");
        const auto expires = context.pool.expires_at(*loaded);
        entry["expires_at"] = expires ? timestamp(*expires) : "9999-12-31T23:59:59Z";
        // The share of the file in the layers on GPUs.
        const auto& weights = loaded->model->weights();
        const int layers = weights.n_layers();
        const int asked = weights.params().n_gpu_layers;
        const int on_gpu = asked < 0 ? layers : std::min(asked, layers);
        entry["size_vram"] = layers > 0 ? loaded->size_bytes * on_gpu / layers : 0;
        models.push_back(std::move(entry));
    }
    return json_answer({{"models", models}});
}

Response pull(const ServeContext& context, const Request& request, bool allowed) {
    if (!allowed) {
        throw RequestError(403, "pulling models is off on this server: start it with --allow-pull");
    }
    const Json body = fields::parse_object(request.body);
    const auto given = fields::text(body, "model");
    const std::string reference = given ? *given : fields::required_text(body, "name");
    if (!fields::flag(body, "stream").value_or(true)) {
        context.pool.locate(reference);
        return json_answer({{"status", "success"}});
    }
    Response response{
        .status = 200, .content_type = "application/x-ndjson", .body = {}, .stream = {}};
    ModelPool& pool = context.pool;
    response.stream = [&pool, reference](platform::http_server::Sink& sink) {
        sink.write(ndjson({{"status", "pulling manifest"}}));
        // About four lines a second, and the last one of each file.
        constexpr auto kEvery = std::chrono::milliseconds(250);
        std::chrono::steady_clock::time_point last;
        const output::ThreadDownloadProgress progress([&](const DownloadProgress& state) {
            const auto now = std::chrono::steady_clock::now();
            if (!state.finished && now - last < kEvery) {
                return;
            }
            last = now;
            Json line = {{"status", "pulling " + state.label},
                         {"digest", state.label},
                         {"completed", state.done}};
            if (state.total) {
                line["total"] = *state.total;
            }
            sink.write(ndjson(line));
        });
        try {
            pool.locate(reference);
            sink.write(ndjson({{"status", "success"}}));
        } catch (const std::exception& error) {
            sink.write(ndjson({{"error", error.what()}}));
        }
    };
    return response;
}

Response remove(const ServeContext& context, const Request& request) {
    const Json body = fields::parse_object(request.body);
    const auto given = fields::text(body, "model");
    const std::string name = given ? *given : fields::required_text(body, "name");
    std::vector<std::string> cached;
    for (const inventory::LocalModel& model : inventory::list_models()) {
        if (model.store == inventory::KESTRUNE_STORE && inventory::answers_to(model, name)) {
            cached.push_back(model.path);
        }
    }
    for (const auto& loaded : context.pool.loaded()) {
        if (std::ranges::find(cached, loaded->known.path) != cached.end()) {
            context.pool.unload(loaded);
        }
    }
    if (inventory::remove_from_cache(name).empty()) {
        throw NotFoundError("model '" + name +
                            "' is not in Kestrune's cache (the stores of other runtimes are "
                            "never deleted from)");
    }
    return json_answer({{"status", "success"}});
}

Response chat(const ServeContext& context, const Request& request,
              const std::shared_ptr<AccessNote>& note) {
    return answer(context, request, note, true);
}

Response generate(const ServeContext& context, const Request& request,
                  const std::shared_ptr<AccessNote>& note) {
    return answer(context, request, note, false);
}

}  // namespace kestrune::server::ollama_api
