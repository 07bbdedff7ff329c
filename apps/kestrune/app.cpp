#include "app.hpp"

#include <CLI/CLI.hpp>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "commands_embed.hpp"
#include "commands_prompt.hpp"
#include "commands_serve.hpp"
#include "failure.hpp"
#include "kestrune/backends/native.hpp"
#include "output.hpp"
#include "suggest.hpp"

namespace kestrune::cli {

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

constexpr const char* kFooter =
    "Run 'kestrune COMMAND --help' (or 'kestrune help COMMAND') for a command's options.\n\n"
    "Environment:\n"
    "  HOME          downloads land in ~/.cache/kestrune/models unless --output-dir says\n"
    "  HF_TOKEN      the Hugging Face token, for gated and private repositories\n"
    "  HF_ENDPOINT   the Hugging Face hub's address (default https://huggingface.co)\n"
    "  HF_HOME       the Hugging Face cache (default ~/.cache/huggingface)";

std::string version_text() {
    backends::NativeBackend native;
    const std::string llama = native.detect().version;
    return std::string("kestrune ") + KESTRUNE_VERSION + "\nllama.cpp " +
           (llama.empty() ? "not available" : llama);
}

std::vector<std::string> command_names(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(sub->get_name());
    }
    return names;
}

std::vector<std::string> option_names(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
    }
    return names;
}

std::string did_you_mean(const std::string& word, const std::vector<std::string>& candidates) {
    const auto closest = closest_word(word, candidates);
    return closest ? "; did you mean '" + *closest + "'?" : "";
}

// "kestrune kv recommend" for the recommend subcommand.
std::string command_path(const CLI::App& command) {
    const CLI::App* parent = command.get_parent();
    return parent == nullptr ? command.get_name()
                             : command_path(*parent) + " " + command.get_name();
}

// The command the parser reached: the last subcommand it entered.
const CLI::App& reached_command(const CLI::App& app) {
    const CLI::App* command = &app;
    while (!command->get_subcommands().empty()) {
        command = command->get_subcommands().front();
    }
    return *command;
}

std::string extras_message(const CLI::App& command, const std::vector<std::string>& extras) {
    const std::string& word = extras.front();
    if (word.starts_with('-')) {
        return "unknown option " + word + did_you_mean(word, option_names(command));
    }
    if (command.get_parent() == nullptr || !command_names(command).empty()) {
        return "unknown command '" + word + "'" + did_you_mean(word, command_names(command));
    }
    return "unexpected argument '" + word + "'";
}

// What is wrong, in the terms of the command line ("missing REF", "unknown command 'rnu';
// did you mean 'run'?").
std::string problem(const CLI::App& app, const CLI::App& command, const CLI::ParseError& error) {
    const std::string text = error.what();
    // Words nobody took: a mistyped command or option (the parser may report a missing
    // subcommand before it reports them).
    auto extras = command.remaining();
    if (extras.empty()) {
        extras = app.remaining(true);
    }
    // The parser's error names are not always their kinds: ask the type.
    const bool required = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
    if (!extras.empty() && (required || dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)) {
        return extras_message(command, extras);
    }
    if (required) {
        constexpr std::string_view kRequired = " is required";
        if (text.find("subcommand") != std::string::npos) {
            return command.get_parent() == nullptr
                       ? "no command given"
                       : "missing subcommand (" + CLI::detail::join(command_names(command), ", ") +
                             ")";
        }
        if (text.ends_with(kRequired)) {
            return "missing " + text.substr(0, text.size() - kRequired.size());
        }
    }
    return text;
}

int usage_error(const CLI::App& app, const CLI::ParseError& error) {
    const CLI::App& command = reached_command(app);
    const std::string path = command_path(command);
    std::cerr << "kestrune: " << problem(app, command, error) << '\n'
              << CLI::Formatter().make_usage(&command, path) << "Run '" << path
              << " --help' for more.\n";
    return kUsageStatus;
}

// `kestrune help run`, `kestrune help kv recommend`: the help of that command.
void add_help_command(CLI::App& app) {
    auto words = std::make_shared<std::vector<std::string>>();
    CLI::App* help = app.add_subcommand("help", "show the help of a command");
    help->add_option("COMMAND", *words, "a command, and its subcommand");
    help->footer("Example:\n  kestrune help run");
    help->callback([&app, words] {
        const CLI::App* target = &app;
        for (const std::string& word : *words) {
            const auto found = target->get_subcommands(
                [&](const CLI::App* sub) { return sub->get_name() == word; });
            if (found.empty()) {
                throw CLI::ValidationError("unknown command '" + word + "'" +
                                           did_you_mean(word, command_names(*target)));
            }
            target = found.front();
        }
        const CLI::App* parent = target->get_parent();
        results() << target->help(parent == nullptr ? "" : command_path(*parent));
    });
}

void build(CLI::App& app, int& exit_status) {
    app.require_subcommand(1);
    app.set_version_flag("--version", version_text, "Kestrune's and llama.cpp's versions");
    app.footer(kFooter);
    add_model_commands(app, exit_status);
    add_tool_commands(app);
    add_prompt_command(app);
    add_embed_command(app);
    add_serve_command(app);
    add_worker_command(app);
    add_help_command(app);
}

// Whether --verbose was given to the command that ran (or to one above it).
bool verbose_given(const CLI::App& app) {
    for (const CLI::App* command = &app; command != nullptr;
         command = command->get_subcommands().empty() ? nullptr
                                                      : command->get_subcommands().front()) {
        const CLI::Option* verbose = command->get_option_no_throw("--verbose");
        if (verbose != nullptr && verbose->count() > 0) {
            return true;
        }
    }
    return false;
}

// One line on standard error, "kestrune: " first; a message of several lines (the library's
// texts of some stores) keeps its own last line break.
void print_failure(const std::string& message) {
    std::cerr << "kestrune: " << message << (message.ends_with('\n') ? "" : "\n");
}

}  // namespace

CLI::Validator at_least(double low) {
    std::ostringstream bound;
    bound << low;
    return {[low, bound = bound.str()](const std::string& text) {
                std::istringstream in(text);
                double value = 0.0;
                if (!(in >> value) || !in.eof()) {
                    return "must be a number, not " + text;
                }
                if (value < low) {
                    return "must be ≥ " + bound + ", not " + text;
                }
                return std::string();
            },
            ""};
}

int run_app(int argc, char** argv) {
    const LibraryOutputToStderr library_output;
    CLI::App app("Run large language models on this machine.", "kestrune");
    int exit_status = 0;
    build(app, exit_status);
    try {
        app.parse(argc, argv);
        return exit_status;
    } catch (const CLI::Success& done) {  // --help, --version
        return app.exit(done, results(), std::cerr);
    } catch (const CLI::ParseError& error) {
        return usage_error(app, error);
    } catch (const WordedFailure& failure) {
        print_failure(failure.what());
        if (verbose_given(app)) {
            const std::string& text = failure.library_text();
            std::cerr << text << (text.ends_with('\n') ? "" : "\n");
        }
        return kFailureStatus;
    } catch (const std::exception& error) {  // kestrune::Error and the file system's errors
        print_failure(error.what());
        return kFailureStatus;
    } catch (...) {  // the last resort: one line, never std::terminate's dump
        std::cerr << "kestrune: failed with an unknown error\n";
        return kFailureStatus;
    }
}

}  // namespace kestrune::cli
