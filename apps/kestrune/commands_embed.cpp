#include "commands_embed.hpp"

#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/engine/resolver.hpp"
#include "output.hpp"

namespace kestrune::cli {

namespace {

struct EmbedOptions {
    std::string ref;
    std::vector<std::string> texts;
    std::string output_dir;
    int n_ctx = 2048;
};

void print_embeddings(EmbedOptions options) {
    if (options.texts.empty()) {
        // No texts given: one a line from standard input.
        for (std::string line; std::getline(std::cin, line);) {
            options.texts.push_back(line);
        }
    }
    backends::NativeBackend backend;
    backend.load(resolver::resolve_model(options.ref, options.output_dir),
                 {.n_ctx = options.n_ctx});
    for (const auto& vector : backend.embed(options.texts)) {
        results() << nlohmann::json(vector).dump() << '\n';
    }
    results() << std::flush;
}

}  // namespace

void add_embed_command(CLI::App& app) {
    auto options = std::make_shared<EmbedOptions>();
    CLI::App* embed = app.add_subcommand("embed", "the embedding vectors of texts");
    embed->add_option("REF", options->ref, "the model")->required();
    embed->add_option("TEXT", options->texts, "texts to embed (none: one a line from stdin)");
    embed->add_option("--ctx", options->n_ctx, "the most tokens a text may hold")
        ->check(CLI::Range(1, 1 << 20));
    add_output_dir_option(*embed, options->output_dir);
    embed->footer(
        "One unit-length vector a line, as a JSON list, in the order of the texts.\n"
        "Examples:\n"
        "  kestrune embed nomic-embed-text \"a cat\" \"a dog\"\n"
        "  kestrune embed model.gguf < lines.txt");
    embed->callback([options] { print_embeddings(*options); });
}

}  // namespace kestrune::cli
