// The kestrune commands, each registered on the command-line parser with its options, its help
// and an example. A command prints its result on standard output (results()) and throws
// kestrune::Error when the work fails; the parser turns a malformed command line into a usage
// error.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kestrune::cli {

// run, info, meta, resolve, pull, list, rm, search (commands_model.cpp). `exit_status` receives
// the status of a chat whose turns failed.
void add_model_commands(CLI::App& app, int& exit_status);
// backends, kv, eval, websearch (commands_tools.cpp).
void add_tool_commands(CLI::App& app);

// The model `run` uses when given no REF.
std::string default_model_path();

// "must be ≥ N" for a number option.
CLI::Validator at_least(double low);
// Adds --output-dir with the models folder as its default.
void add_output_dir_option(CLI::App& command, std::string& output_dir);

}  // namespace kestrune::cli
