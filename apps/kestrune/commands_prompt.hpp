// kestrune prompt: the prompt a model sees for a conversation, exactly as its chat template
// renders it, for users who debug a model's behaviour.
#pragma once

#include <CLI/CLI.hpp>

namespace kestrune::cli {

void add_prompt_command(CLI::App& app);

}  // namespace kestrune::cli
