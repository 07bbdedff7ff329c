// What both APIs share: a request for text turned into a running generation on the right
// model, read back piece by piece with the caller's stop texts cut out, and the failures
// those steps can meet told apart by the HTTP status they answer with.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/messages.hpp"
#include "platform/llama/chat_template.hpp"
#include "platform/net/http_server.hpp"
#include "server/model_pool.hpp"
#include "server/scheduler.hpp"

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
};

// One answer as it is generated. Destroying it before the end cancels the generation, which
// frees its slot at the scheduler's next step.
class Answer {
  public:
    Answer(ModelPool& pool, const AnswerRequest& request);
    ~Answer();
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    // What is new of the reply: reasoning, answer text or both.
    using Delta = platform::chat_template::StreamedReply::Delta;

    // The next piece of the answer's text; absent at the end. A chat's reasoning and tool
    // calls are read out of it with next_delta() instead.
    std::optional<std::string> next();
    // The next piece, the reasoning of a model that thinks first and the markup of its tool
    // calls taken out of the answer; absent at the end, when reply() holds the whole reply.
    std::optional<Delta> next_delta();
    // Everything that is left, read (its tool calls included).
    const ChatReply& rest();
    // Valid at the end: the reply in its parts (for a plain completion, the text as content).
    const ChatReply& reply() const { return reply_; }
    // Ends the generation early (the client has gone).
    void cancel() { generation_->cancel(); }

    const std::string& model_name() const { return model_->name; }
    // Valid at the end: "stop" when a stop text or an end token ended the answer, "length" at
    // a limit.
    const std::string& finish_reason() const { return finish_reason_; }
    const GenerationSummary& summary() const { return generation_->summary(); }

  private:
    std::optional<std::string> cut_at_stop(std::string piece);

    std::shared_ptr<LoadedModel> model_;
    // Set for a chat whose reply needs reading: a model asked to think, or offered tools.
    std::optional<platform::chat_template::StreamedReply> reader_;
    ChatReply reply_;
    bool read_ = false;
    std::shared_ptr<Generation> generation_;
    std::vector<std::string> stop_;
    std::string held_back_;  // text that may begin a stop text
    bool stopped_ = false;
    bool ended_ = false;
    std::string finish_reason_;
};

// What the access line reports of an answer, filled in as it ends (a stream ends after its
// handler has returned).
struct AccessNote {
    int tokens = 0;
};

// What a server knows while it answers.
struct ServeContext {
    ModelPool& pool;
    std::string default_model;
};

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
