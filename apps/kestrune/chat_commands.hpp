// The chat's own commands, typed where a message would be: /help, /show, /clear,
// /set NAME VALUE (a bare /set lists the values), /bye. Their replies go to standard error, beside
// the conversation.
#pragma once

#include <functional>
#include <string>

#include "conversation.hpp"
#include "kestrune/backends/base.hpp"

namespace kestrune::cli {

bool is_chat_command(const std::string& line);

enum class AfterCommand { Continue, Leave };

// The lines /show gives about the model for the conversation: its name, how much of its
// context the conversation takes.
using ModelDescription = std::function<std::string(const Conversation& conversation)>;

AfterCommand run_chat_command(const std::string& line, Conversation& conversation,
                              backends::GenerationConfig& config,
                              const ModelDescription& describe_model);

}  // namespace kestrune::cli
