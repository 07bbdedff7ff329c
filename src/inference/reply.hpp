// One answer as the model generates it, for every door alike: a chat rendered with the model's
// own template (its turn-ending texts added to the caller's stop texts) or a text completed as
// it is, read back piece by piece, with a thinking model's reasoning and the markup of its tool
// calls taken out of the answer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inference/model.hpp"
#include "inference/scheduler.hpp"
#include "kestrune/core/messages.hpp"
#include "platform/llama/chat_template.hpp"

namespace kestrune::inference {

struct ChatRequest {
    Messages messages;
    Sampling sampling;
    std::vector<std::string> stops = {};
    // The tools offered to the model, and whether a model that can think first should (absent:
    // as its template defaults, which is to think).
    std::vector<ToolSpec> tools = {};
    std::optional<bool> think = std::nullopt;
    std::optional<Speculation> speculation = std::nullopt;
    // The reply must call one of `tools` (the grammar of the template's call format keeps it
    // to that), and whether it may call several at once (absent: where the template can).
    bool require_tool_call = false;
    std::optional<bool> parallel_tool_calls = std::nullopt;
};

struct CompletionRequest {
    std::string prompt;
    Sampling sampling;
    std::vector<std::string> stops = {};
    std::optional<Speculation> speculation = std::nullopt;
};

// The options a chat is rendered with.
platform::chat_template::Options template_options(const std::vector<ToolSpec>& tools,
                                                  std::optional<bool> think);
platform::chat_template::Options template_options(const ChatRequest& request);

// Destroying a reply before its end cancels the generation, which frees its sequence at the
// scheduler's next step. The model must outlive the reply (hold it by its shared pointer).
class Reply {
  public:
    // Render and tokenize on the caller's thread, then queue: a prompt too long for the
    // context, a grammar the model cannot carry, or a tool call required of a template that
    // gives no grammar for one (or beside a grammar of the caller's) is an InvalidValueError,
    // a full queue QueueFull.
    Reply(std::shared_ptr<Model> model, const ChatRequest& request);
    Reply(std::shared_ptr<Model> model, const CompletionRequest& request);
    ~Reply();
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    using Delta = platform::chat_template::StreamedReply::Delta;

    // The next piece of the answer as generated (a chat's reasoning and tool-call markup
    // included); absent at the end.
    std::optional<std::string> next();
    // The next piece with the reasoning and the tool calls read out of it; absent at the end,
    // when reply() holds the whole reply.
    std::optional<Delta> next_delta();
    // Everything that is left, read.
    const ChatReply& rest();
    // Valid at the end: the reply in its parts (for a plain completion, the text as content).
    const ChatReply& reply() const { return reply_; }
    // Ends the generation early (its reader has gone).
    void cancel() { generation_->cancel(); }

    const Model& model() const { return *model_; }
    // Valid at the end.
    const GenerationSummary& summary() const { return generation_->summary(); }
    const std::string& finish_reason() const { return summary().finish_reason; }
    // The prompt's size, and the tokens behind the pieces read so far.
    int prompt_tokens() const { return prompt_tokens_; }
    int tokens_read() const { return generation_->tokens_read(); }

  private:
    // Tokenizes on the caller's thread and queues the generation.
    void start(const CompletionRequest& request);

    std::shared_ptr<Model> model_;
    // Set for a chat whose reply needs reading: a model asked to think, or offered tools.
    std::optional<platform::chat_template::StreamedReply> reader_;
    ChatReply reply_;
    bool read_ = false;
    int prompt_tokens_ = 0;
    std::shared_ptr<Generation> generation_;
};

}  // namespace kestrune::inference
