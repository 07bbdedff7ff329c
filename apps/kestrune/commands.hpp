// The kestrune subcommands. Each takes the words after its name, prints its result on
// standard output, and throws UsageError for a malformed command line or kestrune::Error when
// the work fails.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kestrune/core/json_value.hpp"

namespace kestrune::cli {

using Words = std::vector<std::string>;

// Model commands (commands_model.cpp).
void run_command(const Words& words);
void info_command(const Words& words);
void meta_command(const Words& words);
void resolve_command(const Words& words);
void pull_command(const Words& words);
void list_command(const Words& words);
void search_command(const Words& words);

// Runtime and helper commands (commands_tools.cpp).
void backends_command(const Words& words);
void kv_command(const Words& words);
void eval_command(const Words& words);
void websearch_command(const Words& words);

// JSON indented for reading, UTF-8 as it is.
void print_json(const Json& value);

// The bundled tiny model: installed beside the program, else in the build tree.
std::string bundled_model_path();

}  // namespace kestrune::cli
