// Answering with tools: the model is offered tools, and while its reply asks for tool calls
// they are run and their results fed back to it as tool messages, until it answers in words
// or a bound on the rounds is reached. The replies come from a function, so that the loop runs
// the same on a model (the program) and on recorded replies (its tests).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kestrune/core/messages.hpp"
#include "kestrune/tools/base.hpp"

namespace kestrune::cli {

// The tools the program can offer by name, and what it offers of them.
class ToolBox {
  public:
    void add(std::unique_ptr<tools::Tool> tool);
    bool empty() const { return tools_.empty(); }
    // Each tool's name, description and argument schema, for the model.
    std::vector<ToolSpec> specs() const;
    // Runs one call: the tool's text for the model, or "Error: " and why (an unknown tool,
    // arguments that are not a JSON object or have a wrong type, a failed search). Never
    // throws for what a model asked.
    std::string run(const ToolCall& call);

  private:
    std::map<std::string, std::unique_ptr<tools::Tool>, std::less<>> tools_;
};

// The names --tools takes.
inline constexpr const char* kToolNames[] = {"web_search"};

// The tools named (each one of kToolNames); an unknown name is an InvalidValueError.
ToolBox make_toolbox(const std::vector<std::string>& names);

using ReplyFunction = std::function<ChatReply(const Messages& messages)>;

inline constexpr int kMaxToolRounds = 4;

// Asks `reply` for an answer to `messages`; while the answer calls tools (at most `max_rounds`
// times), appends the assistant's message with its calls and one "tool" message per call
// with the tool's result, each call told on `log` as "  [name] arguments", and asks again.
// Returns the last reply; `messages` ends with the tool results of the last round run (the
// last reply itself is not appended). A reply that still calls tools after the last round is
// returned as it is, its calls not run, and the limit told on `log`.
ChatReply answer_with_tools(Messages& messages, const ReplyFunction& reply, ToolBox& tools,
                            std::ostream& log, int max_rounds = kMaxToolRounds);

// The assistant's message for a reply: its content, and its calls as "tool_calls" (a JSON
// array in the OpenAI form) when it has any.
Message assistant_message(const ChatReply& reply);

}  // namespace kestrune::cli
