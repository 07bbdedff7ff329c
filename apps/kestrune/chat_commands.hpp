// The chat's own commands, typed where a message would be: /help, /clear, /set NAME VALUE,
// /bye. Their replies go to standard error, beside the conversation.
#pragma once

#include <string>

#include "conversation.hpp"
#include "kestrune/backends/base.hpp"

namespace kestrune::cli {

bool is_chat_command(const std::string& line);

enum class AfterCommand { Continue, Leave };

AfterCommand run_chat_command(const std::string& line, Conversation& conversation,
                              backends::GenerationConfig& config);

}  // namespace kestrune::cli
