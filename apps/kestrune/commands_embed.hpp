// kestrune embed: the embedding vectors of texts, computed by a model in-process, one JSON list
// of numbers a line, for scripts that index or compare texts.
#pragma once

#include <CLI/CLI.hpp>

namespace kestrune::cli {

void add_embed_command(CLI::App& app);

}  // namespace kestrune::cli
