#include "chat_commands.hpp"

#include <charconv>
#include <iostream>
#include <optional>
#include <sstream>

namespace kestrune::cli {

namespace {

constexpr const char* kHelp =
    "  /set temperature T   sampling temperature (0: always the likeliest token)\n"
    "  /set top_p P         nucleus sampling share\n"
    "  /set top_k K         sample among the K likeliest tokens\n"
    "  /set max_tokens N    longest answer, in tokens\n"
    "  /set repeat_penalty R\n"
    "  /set system TEXT     the system message (kept when old turns make way)\n"
    "  /set think on|off    let a model that can think before answering do so, and show it\n"
    "  /set                 the current values\n"
    "  /show                the model, how much of its context is in use, the values\n"
    "  /clear               forget the conversation\n"
    "  /bye                 leave (Ctrl-D too)\n"
    "  \"\"\" … \"\"\"            a message of several lines\n"
    "  Ctrl-C stops an answer.\n";

template <typename Number>
std::optional<Number> number(const std::string& text) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end ? std::optional(value) : std::nullopt;
}

// Sets a number if `text` is one within [low, …); says what went wrong otherwise.
template <typename Number>
void set_number(const std::string& name, const std::string& text, Number low, Number& field) {
    const auto value = number<Number>(text);
    if (!value || *value < low) {
        std::cerr << "  " << name << " takes a number ≥ " << low << ", not \"" << text << "\"\n";
        return;
    }
    field = *value;
    std::cerr << "  " << name << " = " << *value << '\n';
}

void set_think(const std::string& value, backends::GenerationConfig& config) {
    if (value != "on" && value != "off") {
        std::cerr << "  think takes on or off, not \"" << value << "\"\n";
        return;
    }
    config.think = value == "on";
    std::cerr << "  think = " << value << '\n';
}

void set_option(const std::string& name, const std::string& value, Conversation& conversation,
                backends::GenerationConfig& config) {
    if (name == "system") {
        conversation.set_system(value);
        std::cerr << "  system message set\n";
    } else if (name == "temperature") {
        set_number(name, value, 0.0, config.temperature);
    } else if (name == "top_p") {
        set_number(name, value, 0.0, config.top_p);
    } else if (name == "top_k") {
        set_number(name, value, 0, config.top_k);
    } else if (name == "max_tokens") {
        set_number(name, value, 1, config.max_tokens);
    } else if (name == "think") {
        set_think(value, config);
    } else if (name == "repeat_penalty") {
        set_number(name, value, 0.0, config.repeat_penalty);
    } else {
        std::cerr << "  Unknown setting \"" << name << "\" (/help lists them)\n";
    }
}

void print_settings(const Conversation& conversation, const backends::GenerationConfig& config) {
    std::cerr << "  temperature = " << config.temperature << "\n  top_p = " << config.top_p
              << "\n  top_k = " << config.top_k << "\n  max_tokens = " << config.max_tokens
              << "\n  repeat_penalty = " << config.repeat_penalty << "\n  think = "
              << (config.think ? (*config.think ? "on" : "off") : "the model's default") << '\n';
    const Messages& messages = conversation.messages();
    if (!messages.empty() && messages.front().role() == "system") {
        std::cerr << "  system = " << messages.front().content() << '\n';
    }
}

}  // namespace

bool is_chat_command(const std::string& line) {
    return line.starts_with('/');
}

AfterCommand run_chat_command(const std::string& line, Conversation& conversation,
                              backends::GenerationConfig& config,
                              const ModelDescription& describe_model) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "/bye") {
        return AfterCommand::Leave;
    }
    if (command == "/help" || command == "/?") {
        std::cerr << kHelp;
    } else if (command == "/show") {
        std::cerr << describe_model(conversation);
        print_settings(conversation, config);
    } else if (command == "/clear") {
        conversation.clear();
        std::cerr << "  Conversation cleared.\n";
    } else if (command == "/set") {
        std::string name;
        std::string value;
        words >> name >> std::ws;
        std::getline(words, value);
        if (name.empty()) {
            print_settings(conversation, config);
        } else if (value.empty()) {
            std::cerr << "  /set NAME VALUE (/help lists the names)\n";
        } else {
            set_option(name, value, conversation, config);
        }
    } else {
        std::cerr << "  Unknown command " << command << " (/help lists them)\n";
    }
    return AfterCommand::Continue;
}

}  // namespace kestrune::cli
