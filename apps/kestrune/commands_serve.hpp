// `kestrune serve`: the models over the OpenAI and Ollama APIs until SIGINT or SIGTERM.
#pragma once

#include <CLI/CLI.hpp>

namespace kestrune::cli {

void add_serve_command(CLI::App& app);

}  // namespace kestrune::cli
