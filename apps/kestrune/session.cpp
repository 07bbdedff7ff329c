#include "session.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <iostream>

#include "kestrune/backends/huggingface.hpp"
#include "kestrune/backends/lmstudio.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/backends/ollama.hpp"
#include "kestrune/backends/remote.hpp"
#include "kestrune/backends/vllm.hpp"

namespace kestrune::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct Reply {
    std::string text;
    int pieces = 0;
};

Reply print_reply(backends::BackendAdapter& backend, const StreamReply& stream_reply,
                  const Messages& messages, const SessionOptions& options) {
    Reply reply;
    if (!options.stream) {
        reply.text = backend.chat(messages, options.config);
        reply.pieces = 1;
        std::cout << reply.text;
    } else {
        for (const auto& piece : stream_reply(messages, options.config)) {
            std::cout << piece << std::flush;
            reply.text += piece;
            ++reply.pieces;
        }
    }
    std::cout << std::endl;
    return reply;
}

// One exchange; with --verbose the speed goes to standard error so the answer stays clean.
Reply answer(backends::BackendAdapter& backend, const StreamReply& stream_reply,
             const Messages& messages, const SessionOptions& options) {
    const auto started = Clock::now();
    Reply reply = print_reply(backend, stream_reply, messages, options);
    if (options.verbose) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::cerr << "  " << reply.pieces << " tokens in " << std::fixed << std::setprecision(2)
                  << seconds << " s (" << std::setprecision(1)
                  << (seconds > 0 ? reply.pieces / seconds : 0.0) << " tokens/s)" << std::endl;
    }
    return reply;
}

}  // namespace

SessionOptions session_options(const Args& args) {
    SessionOptions options;
    options.backend = args.option("--backend").value_or("native");
    options.prompt = args.option("-p");
    if (!options.prompt) {
        options.prompt = args.option("--prompt");
    }
    if (const auto context = args.integer("--ctx")) {
        options.context = static_cast<int>(*context);
    }
    if (const auto max_tokens = args.integer("--max-tokens")) {
        options.config.max_tokens = static_cast<int>(*max_tokens);
    }
    if (const auto temperature = args.real("--temperature")) {
        options.config.temperature = *temperature;
    }
    options.stream = !args.flag("--no-stream");
    options.verbose = args.flag("--verbose");
    return options;
}

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
    throw UsageError("unknown backend \"" + name +
                     "\" (native, ollama, lmstudio, vllm, remote, huggingface)");
}

void chat_session(backends::BackendAdapter& backend, const StreamReply& stream_reply,
                  const SessionOptions& options) {
    Messages messages;
    if (options.prompt) {
        messages.emplace_back("user", *options.prompt);
        answer(backend, stream_reply, messages, options);
        return;
    }
    const bool interactive = ::isatty(STDIN_FILENO) != 0;
    if (interactive) {
        std::cout << "  Chatting with " << backend.stats().model_name
                  << ". Type /bye or press Ctrl-D to leave." << std::endl;
    }
    std::string line;
    while (true) {
        if (interactive) {
            std::cout << "\n> " << std::flush;
        }
        if (!std::getline(std::cin, line) || line == "/bye") {
            break;
        }
        if (line.empty()) {
            continue;
        }
        messages.emplace_back("user", line);
        messages.emplace_back("assistant", answer(backend, stream_reply, messages, options).text);
    }
}

}  // namespace kestrune::cli
