#include "commands_prompt.hpp"

#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "commands.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/resolver.hpp"
#include "output.hpp"

namespace kestrune::cli {

namespace {

struct PromptOptions {
    std::string ref;
    std::optional<std::string> prompt;
    std::optional<std::string> system;
    std::optional<std::string> messages_file;
    std::string output_dir;
    bool verbose = false;
};

// One message of the file: text values as they are, others (tool_calls) as JSON text.
Message message_from(const nlohmann::ordered_json& object) {
    if (!object.is_object()) {
        throw InvalidValueError("each message must be a JSON object, not " + object.dump());
    }
    Message message;
    for (const auto& [key, value] : object.items()) {
        message.set(key, value.is_string() ? value.get<std::string>() : value.dump());
    }
    return message;
}

// A JSON list of messages, or an object holding one under "messages" (a chat request body).
Messages read_messages(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw NotFoundError("Cannot read the messages file: " + path);
    }
    const auto document = nlohmann::ordered_json::parse(in, nullptr, false);
    const auto& list =
        document.is_object() && document.contains("messages") ? document["messages"] : document;
    if (!list.is_array()) {
        throw InvalidValueError(path +
                                " holds neither a list of messages nor {\"messages\": [...]}");
    }
    Messages messages;
    for (const auto& object : list) {
        messages.push_back(message_from(object));
    }
    return messages;
}

Messages conversation_of(const PromptOptions& options) {
    Messages messages;
    if (options.system) {
        messages.emplace_back("system", *options.system);
    }
    if (options.messages_file) {
        for (auto& message : read_messages(*options.messages_file)) {
            messages.push_back(std::move(message));
        }
    }
    if (options.prompt) {
        messages.emplace_back("user", *options.prompt);
    }
    if (messages.empty()) {
        throw CLI::ValidationError("prompt needs a conversation: -p, --system or --messages");
    }
    return messages;
}

int print_prompt(const PromptOptions& options) {
    const Messages messages = conversation_of(options);
    backends::NativeBackend backend;
    backend.load(resolver::resolve_model(options.ref, options.output_dir), {.n_ctx = 256});
    const auto use = backend.chat_template_use(messages);
    if (options.verbose || !use.own_template) {
        std::cerr << "  template:    " << use.description << std::endl;
    }
    results() << backend.format_prompt(messages) << std::flush;
    return 0;
}

}  // namespace

void add_prompt_command(CLI::App& app) {
    auto options = std::make_shared<PromptOptions>();
    CLI::App* prompt = app.add_subcommand(
        "prompt", "print the prompt a model sees, as its chat template renders it");
    prompt->add_option("REF", options->ref, "the model")->required();
    prompt->add_option("-p,--prompt", options->prompt, "a user message (last)");
    prompt->add_option("--system", options->system, "a system message (first)");
    prompt->add_option("--messages", options->messages_file,
                       "a JSON file of messages ([{\"role\": …, \"content\": …}, …])");
    add_output_dir_option(*prompt, options->output_dir);
    prompt->add_flag("-v,--verbose", options->verbose, "say how the prompt was rendered");
    prompt->footer(
        "The prompt goes to standard output exactly, with no newline added.\n"
        "Examples:\n"
        "  kestrune prompt model.gguf --system \"Be brief.\" -p \"Hello\"\n"
        "  kestrune prompt model.gguf --messages chat.json");
    prompt->callback([options] { print_prompt(*options); });
}

}  // namespace kestrune::cli
