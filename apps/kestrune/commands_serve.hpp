// The commands that serve until SIGINT or SIGTERM: `kestrune serve` (the models over the
// OpenAI and Ollama APIs) and `kestrune worker` (this machine's devices to other machines'
// models, over llama.cpp's RPC protocol).
#pragma once

#include <CLI/CLI.hpp>

namespace kestrune::cli {

void add_serve_command(CLI::App& app);
void add_worker_command(CLI::App& app);

}  // namespace kestrune::cli
