// A model's own chat template, applied by the Jinja chat engine of llama.cpp's common library
// (the engine llama.cpp's server and CLI use), behind our own types:
//   - render: the prompt for a conversation, with the template's stop texts and the recipe for
//     reading the reply back;
//   - parse_reply: a generated reply split into its reasoning, its content and its tool calls.
// When the model has no template, or its template fails, the conversation is rendered as
// ChatML instead, and the result says so and why: the caller decides how loudly to tell.
//
// The engine's headers stay in the source file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/core/messages.hpp"

struct llama_model;

namespace kestrune::platform::chat_template {

using Tool = kestrune::ToolSpec;
using kestrune::ToolCall;
using Reply = kestrune::ChatReply;

enum class Path {
    model_template,  // the model's own template, through the Jinja engine
    no_template,     // ChatML: the model carries no template
    failed_template  // ChatML: the model's template failed to render this conversation
};

struct Options {
    std::vector<Tool> tools;
    // Asks a model that can think before answering to do so (ignored by the others).
    bool enable_thinking = true;
    // The reply must call one of the tools: the rendering then carries the grammar of a call
    // in the template's own format.
    bool require_tool_call = false;
    // Whether the reply may call several tools at once (absent: where the template can).
    std::optional<bool> parallel_tool_calls = std::nullopt;
};

// How to read back the reply to a rendered prompt. Opaque to callers.
struct ReplyFormat {
    struct Reader {
        int format = 0;                 // the engine's format identifier
        std::string generation_prompt;  // what the prompt's end already opened
        std::string parser;             // the engine's serialised parser, "" when it has none
    };
    Reader plain;                      // reasoning and content
    std::optional<Reader> with_tools;  // reasoning, content and tool calls, when tools were offered
};

struct Rendered {
    std::string prompt;
    Path path = Path::model_template;
    std::string failure;             // why the template failed (failed_template only)
    std::string format_name;         // the engine's name for the reply format
    std::vector<std::string> stops;  // texts that end the reply, besides end-of-turn tokens
    bool thinking = false;           // the prompt asks the model to think first
    ReplyFormat reply_format;
    // With require_tool_call: GBNF a reply that calls a tool follows; empty when the template
    // gives none (ChatML, or a template whose format has no call grammar).
    std::string tool_call_grammar;
    std::string tool_call_prefill;  // what of it the prompt's end already holds
};

// One line saying which way a conversation was rendered, e.g. for --verbose.
std::string describe(const Rendered& rendered);

// Splits a reply into reasoning, content and tool calls. `partial` tells that more text may
// follow (while streaming). A tool call that does not read as a name with a JSON object of
// arguments is no call: the reply is then read as reasoning and content only, the call's text
// staying in the content as the model wrote it (while streaming, what may still become a call
// is held out of the content). Nothing here throws for what a model wrote.
Reply parse_reply(const std::string& text, const ReplyFormat& format, bool partial = false);

// Reads a reply while it streams: each piece added gives what is new of the reasoning and of
// the answer. Text that may still turn out to be markup is held back until it is clear.
class StreamedReply {
  public:
    struct Delta {
        std::string reasoning;
        std::string content;
    };

    explicit StreamedReply(ReplyFormat format) : format_(std::move(format)) {}
    Delta add(std::string_view piece);
    // Once the reply is complete: what is left of both, and the whole reply read.
    Delta finish();
    const Reply& reply() const { return read_; }

  private:
    Delta advance(Reply now);

    ReplyFormat format_;
    std::string text_;
    Reply read_;
};

// The built-in rendering: <|im_start|>{role}\n{content}<|im_end|>\n ... <|im_start|>assistant\n
std::string chatml(const Messages& messages);

// The templates of one model. Messages carry "role" and "content", and may carry
// "reasoning_content", "tool_calls" (a JSON array in the OpenAI form), "tool_call_id" and
// "name" (of the tool that answered).
class Templates {
  public:
    // Reads the model's template (tokenizer.chat_template). A template the engine cannot
    // parse counts as failed: every render then falls back to ChatML and says why. One that
    // crashes, stalls or floods memory when tried apart first is never used here: every
    // render throws InvalidValueError saying so.
    explicit Templates(const llama_model* model);
    Templates(Templates&&) noexcept;
    Templates& operator=(Templates&&) noexcept;
    ~Templates();

    bool has_template() const { return has_template_; }
    // Whether the template can switch its reasoning on and off.
    bool supports_thinking() const;
    Rendered render(const Messages& messages, const Options& options = {}) const;

  private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
    bool has_template_ = false;
    std::string init_failure_;
    std::string hostile_;  // what the template did when tried apart; "" when it behaved
};

}  // namespace kestrune::platform::chat_template
