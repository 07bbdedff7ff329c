// What both APIs share: a request for text turned into the core's answer on the right model,
// and the failures those steps can meet told apart by the HTTP status they answer with.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "inference/reply.hpp"
#include "kestrune/core/messages.hpp"
#include "platform/net/http_server.hpp"
#include "server/model_pool.hpp"

namespace kestrune::server {

// A request the client got wrong, with the status to answer.
class RequestError : public InvalidValueError {
  public:
    RequestError(int status, const std::string& message)
        : InvalidValueError(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// The status for a failure met while serving: 400 for a malformed request or a value out of
// range, 404 for an unknown model, 429 for a full queue, 500 otherwise.
int status_for(const std::exception& error);

using inference::GenerationSummary;
using inference::QueueFull;
using inference::Sampling;

struct AnswerRequest {
    std::string model;
    std::optional<Messages> messages;  // a chat; absent: `prompt` is completed as it is
    std::string prompt;
    Sampling sampling;
    std::vector<std::string> stop;
    // A chat only: the tools offered to the model, and whether a model that can think first
    // should (absent: as its template defaults, which is to think).
    std::vector<ToolSpec> tools;
    std::optional<bool> think;
    // The reply must call one of `tools`; whether it may call several at once.
    bool require_tool_call = false;
    std::optional<bool> parallel_tool_calls;
    // How long the model stays loaded once idle (absent: the server's default).
    std::optional<std::chrono::seconds> keep_alive;
};

// One answer as it is generated, on the model the request names. Destroying it before the end
// cancels the generation.
class Answer {
  public:
    Answer(ModelPool& pool, const AnswerRequest& request);

    using Delta = inference::Reply::Delta;

    // The next piece, the reasoning of a model that thinks first and the markup of its tool
    // calls taken out of the answer; absent at the end, when reply() holds the whole reply.
    std::optional<Delta> next_delta() { return reply_->next_delta(); }
    // Everything that is left, read (its tool calls included).
    const ChatReply& rest() { return reply_->rest(); }
    // Valid at the end: the reply in its parts (for a plain completion, the text as content).
    const ChatReply& reply() const { return reply_->reply(); }
    // Ends the generation early (the client has gone).
    void cancel() { reply_->cancel(); }

    const std::string& model_name() const { return model_->known.name; }
    int prompt_tokens() const { return reply_->prompt_tokens(); }
    // Valid at the end: "stop" when a stop text or an end token ended the answer, "length" at
    // a limit.
    const std::string& finish_reason() const { return reply_->finish_reason(); }
    const GenerationSummary& summary() const { return reply_->summary(); }

  private:
    std::shared_ptr<LoadedModel> model_;
    std::unique_ptr<inference::Reply> reply_;
};

// What the access line reports of an answer, filled in as it ends (a stream ends after its
// handler has returned).
struct AccessNote {
    int prompt_tokens = 0;
    int tokens = 0;  // generated
    void record(const GenerationSummary& summary) {
        prompt_tokens = summary.prompt_tokens;
        tokens = summary.completion_tokens;
    }
};

// `prefix` ("chatcmpl-", "msg_", …) and 24 hexadecimal digits, unique within the process.
std::string new_id(const std::string& prefix);

// A JSON answer.
platform::http_server::Response json_answer(const Json& body, int status = 200);

// What a server knows while it answers.
struct ServeContext {
    ModelPool& pool;
    std::string default_model;
};

// The model a request names ("model"), or the server's default; neither is a 400.
std::string requested_model(const Json& body, const ServeContext& context);
// The reply must call the tool `name`, the only one left offered; a name not among the tools is
// a 400 that calls it a `kind` ("function", "tool").
void require_tool(AnswerRequest& request, const std::string& name, const std::string& kind);

// How one API writes a streamed answer.
struct EventFormat {
    std::function<std::string(const Answer::Delta& piece)> piece;
    std::function<std::string(const Answer& answer)> end;  // after the last piece
    std::function<std::string(const std::exception& error)> error;
};

// Streams `answer` through `sink` in `format`; when the client goes, the answer is cancelled.
void stream_events(Answer& answer, platform::http_server::Sink& sink, const EventFormat& format,
                   AccessNote& note);

}  // namespace kestrune::server
