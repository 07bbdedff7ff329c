#include "session.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "chat_commands.hpp"
#include "conversation.hpp"
#include "interrupt.hpp"
#include "kestrune/backends/huggingface.hpp"
#include "kestrune/backends/lmstudio.hpp"
#include "kestrune/backends/ollama.hpp"
#include "kestrune/backends/remote.hpp"
#include "kestrune/backends/vllm.hpp"
#include "kestrune/core/errors.hpp"
#include "line_input.hpp"
#include "output.hpp"

namespace kestrune::cli {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct Reply {
    std::string text;
    bool stopped = false;  // Ctrl-C cut it short
    Clock::time_point started;
    std::optional<Clock::time_point> first_piece;
    Clock::time_point finished;
    Messages tool_turns;  // the calls of tools asked for on the way, and their results
};

// The answer of an in-process model offered tools: read whole, its tool calls run between
// replies, each reply's reasoning shown as it comes.
void write_tool_reply(const ChatModel& model, const Messages& messages,
                      const SessionOptions& options, Reply& reply) {
    if (model.native == nullptr) {
        throw InvalidValueError("tools are offered to in-process models only");
    }
    const auto show_reasoning = reasoning_printer(options.config);
    Messages working = messages;
    const ChatReply answer = cli::answer_with_tools(
        working,
        [&](const Messages& conversation) {
            ChatReply read = model.native->chat_reply(conversation, options.config);
            if (!read.reasoning.empty()) {
                show_reasoning(read.reasoning + "\n");
            }
            return read;
        },
        *options.tools, std::cerr);
    reply.tool_turns.assign(working.begin() + static_cast<std::ptrdiff_t>(messages.size()),
                            working.end());
    reply.text = answer.content;
    results() << reply.text;
}

Reply write_reply(const ChatModel& model, const Messages& messages, const SessionOptions& options) {
    Reply reply;
    reply.started = Clock::now();
    if (options.tools) {
        write_tool_reply(model, messages, options, reply);
    } else if (!options.stream) {
        reply.text = model.backend->chat(messages, options.config);
        results() << reply.text;
    } else {
        for (const auto& piece : model.stream_reply(messages, options.config)) {
            if (!reply.first_piece) {
                reply.first_piece = Clock::now();
            }
            results() << piece << std::flush;
            reply.text += piece;
            if (interrupt_pending()) {
                reply.stopped = true;
                break;
            }
        }
    }
    reply.finished = Clock::now();
    results() << std::endl;
    return reply;
}

// "57 tokens in 0.031 s (1838.7 tokens/s)"
std::string rate_text(int tokens, double seconds) {
    std::ostringstream text;
    text << tokens << " tokens in " << std::fixed << std::setprecision(3) << seconds << " s";
    if (seconds > 0.0) {
        text << " (" << std::setprecision(1) << tokens / seconds << " tokens/s)";
    }
    return text.str();
}

// Measured figures of one answer, on standard error. The prompt is timed up to the first
// piece, which the prompt's evaluation dominates; generation from the first piece on, over the
// tokens after the first.
void report(const ChatModel& model, const Reply& reply) {
    std::cerr << "  total:       " << std::fixed << std::setprecision(3)
              << seconds_between(reply.started, reply.finished) << " s\n";
    if (reply.first_piece) {
        std::cerr << "  first token: " << std::fixed << std::setprecision(3)
                  << seconds_between(reply.started, *reply.first_piece) << " s\n";
    }
    if (model.native == nullptr) {
        return;
    }
    const backends::TokenCounts counts = model.native->last_token_counts();
    const Clock::time_point prompt_done = reply.first_piece.value_or(reply.finished);
    std::cerr << "  prompt:      "
              << rate_text(counts.evaluated_tokens, seconds_between(reply.started, prompt_done))
              << ", " << counts.prompt_tokens - counts.evaluated_tokens << " of "
              << counts.prompt_tokens << " from the cache\n";
    if (reply.first_piece) {
        std::cerr << "  generation:  "
                  << rate_text(std::max(0, counts.generated_tokens - 1),
                               seconds_between(*reply.first_piece, reply.finished))
                  << " after the first, " << counts.generated_tokens << " in all\n";
    } else {
        std::cerr << "  generation:  " << counts.generated_tokens << " tokens\n";
    }
}

// How the model's prompt is rendered, in one line: always when it is not the model's own
// template (the answers may suffer), otherwise with --verbose.
void tell_chat_template(const backends::NativeBackend& native, const SessionOptions& options) {
    Conversation probe(options.system);
    probe.add("user", options.prompt.value_or("Hello"));
    const backends::ChatTemplateUse use =
        native.chat_template_use(probe.messages(), options.config);
    if (options.verbose || !use.own_template) {
        std::cerr << "  template:    " << use.description << std::endl;
    }
}

// Makes room for the answer in an in-process model's context: the prompt may take what is
// left once min(max_tokens, half the context) is set aside.
void fit_to_context(const ChatModel& model, Conversation& conversation,
                    const backends::GenerationConfig& config) {
    if (model.native == nullptr) {
        return;
    }
    const int context = model.native->stats().context_max;
    const int budget = context - std::min(config.max_tokens, context / 2);
    const int dropped = conversation.fit(
        [&](const Messages& messages) { return model.native->count_prompt_tokens(messages); },
        budget);
    if (dropped > 0) {
        std::cerr << "  (the conversation outgrew the " << context << "-token context: the "
                  << dropped << " oldest messages were dropped)" << std::endl;
    }
}

// A message an in-process model's context cannot hold even with no turn before it is refused
// before older turns make way for it, so the conversation stays as it was.
void refuse_what_cannot_fit(const ChatModel& model, const Conversation& conversation) {
    if (model.native == nullptr) {
        return;
    }
    const int context = model.native->stats().context_max;
    const int needed = model.native->count_prompt_tokens(conversation.system_and_newest());
    if (needed >= context) {
        throw InvalidValueError("This message does not fit: it takes " + std::to_string(needed) +
                                " tokens of prompt, and the context window holds " +
                                std::to_string(context) +
                                ". Shorten it, or start again with a larger --ctx.");
    }
}

// One turn of a conversation; a failure is told and the question taken back. Its answer line
// ends on standard output either way (empty without an answer), so that a script piping
// questions in reads one line per question.
bool converse(const ChatModel& model, Conversation& conversation, const std::string& question,
              const SessionOptions& options) {
    const TypingHeld held;
    conversation.add("user", question);
    try {
        refuse_what_cannot_fit(model, conversation);
        fit_to_context(model, conversation, options.config);
        const Reply reply = write_reply(model, conversation.messages(), options);
        for (const Message& turn : reply.tool_turns) {
            conversation.add(turn);
        }
        conversation.add("assistant", reply.text);
        if (options.verbose) {
            report(model, reply);
        }
        return true;
    } catch (const Error& error) {
        conversation.drop_newest();
        results() << std::endl;
        std::cerr << error.what() << std::endl;
        return false;
    }
}

// /show's lines about the model: its name, and for an in-process model how much of its
// context the conversation fills.
std::string describe_model(const ChatModel& model, const Conversation& conversation) {
    const backends::BackendStats stats = model.backend->stats();
    std::string text = "  model: " + stats.model_name + "\n";
    if (model.native != nullptr) {
        const Messages& messages = conversation.messages();
        const int used = messages.empty() ? 0 : model.native->count_prompt_tokens(messages);
        text += "  context: " + std::to_string(used) + " of " + std::to_string(stats.context_max) +
                " tokens in use\n";
    }
    return text;
}

int converse_from_input(const ChatModel& model, SessionOptions options) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    std::optional<InterruptCatcher> catcher;
    if (terminal) {
        catcher.emplace();
        std::cerr << "  Chatting with " << model.backend->stats().model_name
                  << ". /help for commands; /bye or Ctrl-D to leave." << std::endl;
    }
    const auto input = make_line_input(terminal);
    Conversation conversation(options.system);
    bool last_answered = true;
    while (true) {
        const InputLine line = input->read_message();
        if (line.kind == InputLine::Kind::End) {
            break;
        }
        if (line.kind == InputLine::Kind::Interrupted) {
            std::cerr << "\n  (/bye or Ctrl-D to leave)" << std::endl;
            continue;
        }
        if (line.text.empty()) {
            continue;
        }
        if (is_chat_command(line.text)) {
            const auto describe = [&](const Conversation& shown) {
                return describe_model(model, shown);
            };
            if (run_chat_command(line.text, conversation, options.config, describe) ==
                AfterCommand::Leave) {
                break;
            }
            continue;
        }
        last_answered = converse(model, conversation, line.text, options);
        take_interrupt();
    }
    return last_answered ? 0 : 1;
}

}  // namespace

std::unique_ptr<backends::BackendAdapter> make_backend(const std::string& name,
                                                       const std::optional<std::string>& host,
                                                       const std::string& api_key) {
    using namespace backends;
    if (name == "native") {
        return std::make_unique<NativeBackend>();
    }
    if (name == "huggingface") {
        return std::make_unique<HuggingFaceBackend>();
    }
    if (name == "ollama") {
        return host ? std::make_unique<OllamaBackend>(*host) : std::make_unique<OllamaBackend>();
    }
    if (name == "lmstudio") {
        return host ? std::make_unique<LMStudioBackend>(*host)
                    : std::make_unique<LMStudioBackend>();
    }
    if (name == "vllm") {
        return host ? std::make_unique<VLLMBackend>(*host) : std::make_unique<VLLMBackend>();
    }
    if (name == "remote") {
        return std::make_unique<RemoteBackend>(host.value_or("http://localhost:8080"), api_key);
    }
    throw InvalidValueError("unknown backend '" + name + "'");
}

std::function<void(const std::string&)> reasoning_printer(
    const backends::GenerationConfig& config) {
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    if (!config.think.value_or(terminal)) {
        return [](const std::string&) {};
    }
    if (!terminal) {
        return [](const std::string& piece) { std::cerr << piece << std::flush; };
    }
    return [](const std::string& piece) {
        std::cerr << "\x1b[2m" << piece << "\x1b[0m" << std::flush;
    };
}

int chat_session(const ChatModel& model, const SessionOptions& options) {
    if (model.native != nullptr) {
        tell_chat_template(*model.native, options);
    }
    if (!options.prompt) {
        return converse_from_input(model, options);
    }
    Conversation conversation(options.system);
    conversation.add("user", *options.prompt);
    const Reply reply = write_reply(model, conversation.messages(), options);
    if (options.verbose) {
        report(model, reply);
    }
    return 0;
}

}  // namespace kestrune::cli
