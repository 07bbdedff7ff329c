#include "commands_serve.hpp"

#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.hpp"
#include "kestrune/registry/store.hpp"
#include "kestrune/server/server.hpp"
#include "output.hpp"

namespace kestrune::cli {

namespace {

// SIGINT and SIGTERM, blocked in every thread the server starts, so that only sigwait()
// takes them.
sigset_t stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void serve(server::ServerOptions options) {
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    server::Server server(std::move(options));
    server.start();
    results() << "Kestrune serving on " << server.address() << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace

void add_serve_command(CLI::App& app) {
    struct Options {
        std::optional<std::string> ref;
        server::ServerOptions server;
    };
    auto options = std::make_shared<Options>();
    auto& server = options->server;
    CLI::App* command = app.add_subcommand("serve", "serve models over the OpenAI and Ollama APIs");
    command->add_option("REF", options->ref,
                        "the model requests get when they name none (the bundled model by "
                        "default); requests may name any other");
    command->add_option("--host", server.host, "the address to listen on")->capture_default_str();
    command->add_option("--port", server.port, "the port (0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    command->add_option("--parallel", server.parallel, "requests decoded together per model")
        ->check(at_least(1))
        ->capture_default_str();
    command->add_option("--ctx", server.n_ctx, "context of each request, in tokens")
        ->check(at_least(16))
        ->capture_default_str();
    command->add_option("--threads", server.n_threads, "CPU threads (0: all)")
        ->check(at_least(0))
        ->capture_default_str();
    command->add_option("--api-key", server.api_key,
                        "ask every request for 'Authorization: Bearer KEY'");
    command->add_option("--max-models", server.max_models, "models loaded at once")
        ->check(at_least(1))
        ->capture_default_str();
    command->add_flag("--allow-pull", server.allow_pull, "download models requests name");
    command->add_flag("--quiet", server.quiet, "no access line per request on standard error");
    command->footer(
        "Examples:\n"
        "  kestrune serve ./model.gguf --parallel 4\n"
        "  curl http://127.0.0.1:11435/v1/chat/completions -d "
        "'{\"model\":\"./model.gguf\",\"messages\":[{\"role\":\"user\",\"content\":\"hi\"}]}'\n"
        "  curl http://127.0.0.1:11435/api/generate -d '{\"model\":\"./model.gguf\","
        "\"prompt\":\"hi\"}'");
    command->callback([options] {
        options->server.model = options->ref.value_or(default_model_path());
        options->server.download_dir = registry::RegistryStore().store_dir();
        serve(options->server);
    });
}

}  // namespace kestrune::cli
