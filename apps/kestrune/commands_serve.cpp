#include "commands_serve.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "commands.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/workers.hpp"
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

void wait_for_stop_signal(const sigset_t& signals) {
    int received = 0;
    sigwait(&signals, &received);
}

// Loading a model cannot be interrupted: a stop signal that finds the server still busy after
// this long ends the process as it stands.
constexpr auto kStopGrace = std::chrono::milliseconds(1500);

// Takes the first stop signal on a thread of its own, so that it is seen whatever the server
// is doing, and fulfils `stop`.
void watch_for_stop(const sigset_t& signals, std::promise<void>& stop) {
    std::thread([signals, &stop] {
        wait_for_stop_signal(signals);
        stop.set_value();
        std::this_thread::sleep_for(kStopGrace);
        std::cerr << "  Stopped while still busy." << std::endl;
        std::_Exit(0);
    }).detach();
}

void serve(server::ServerOptions options) {
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Lives as long as the process: the watching thread may set it at any time.
    static std::promise<void> stop;
    watch_for_stop(signals, stop);
    server::Server server(std::move(options));
    server.start();
    results() << "Kestrune serving on " << server.address() << "\n"
              << "  OpenAI API: " << server.address() << "/v1\n"
              << "  Ollama API: " << server.address() << "\n";
    for (const std::string& name : server.model_names()) {
        results() << "  model: " << name << "\n";
    }
    results() << std::flush;
    stop.get_future().wait();
    server.stop();
}

bool loopback(const std::string& host) {
    return host == "127.0.0.1" || host == "localhost" || host.starts_with("127.");
}

// llama.cpp's RPC server prints its own banner and a line per client on standard output,
// naming the inner port the worker's front hides: that output goes nowhere, and the worker's
// own lines go to the real standard output, kept aside first.
FILE* set_aside_standard_output() {
    std::fflush(stdout);
    const int kept = ::dup(STDOUT_FILENO);
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (kept < 0 || nowhere < 0) {
        throw RuntimeFailure("Cannot set standard output aside");
    }
    ::dup2(nowhere, STDOUT_FILENO);
    ::close(nowhere);
    return ::fdopen(kept, "w");
}

void run_worker(const engine::RpcWorkerOptions& options) {
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // llama.cpp's server writes to its clients without MSG_NOSIGNAL: a client gone mid-answer
    // must end that connection, not the worker.
    std::signal(SIGPIPE, SIG_IGN);
    FILE* output = set_aside_standard_output();
    const engine::RpcWorker worker(options);
    std::cerr << "  Serving " << (worker.devices().size() == 1 ? "device" : "devices") << ":\n";
    for (const auto& device : worker.devices()) {
        std::cerr << "    " << device << '\n';
    }
    std::cerr << "  The RPC protocol has no authentication: anyone who reaches this port can use "
                 "this machine's memory and processors. Run workers on a trusted network only"
              << (loopback(options.host) ? "." : "; this one listens beyond loopback.")
              << std::endl;
    std::fprintf(output, "Kestrune RPC worker on %s\n", worker.address().c_str());
    std::fflush(output);
    wait_for_stop_signal(signals);
    // The library's server thread never returns: end here rather than unwind around it.
    std::fclose(output);
    std::cerr << "  Worker stopped." << std::endl;
    std::_Exit(0);
}

}  // namespace

void add_worker_command(CLI::App& app) {
    auto options = std::make_shared<engine::RpcWorkerOptions>();
    CLI::App* command = app.add_subcommand(
        "worker", "lend this machine's memory and processors to models run from other machines");
    command->add_option("--host", options->host, "the address to listen on")->capture_default_str();
    command->add_option("--port", options->port, "the port (0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    command->add_option("--mem", options->mem_mb, "MB of memory to offer, at most")
        ->check(at_least(1));
    command->add_option("--threads", options->threads, "CPU threads (0: all)")
        ->check(at_least(0))
        ->capture_default_str();
    command->footer(
        "Examples:\n"
        "  kestrune worker --host 192.168.1.20 --mem 16000    (on the machine lending memory)\n"
        "  kestrune run ./big-model.gguf --rpc 192.168.1.20:50052\n"
        "The RPC protocol has no authentication: run workers on a trusted network only.");
    command->callback([options] { run_worker(*options); });
}

void add_serve_command(CLI::App& app) {
    struct Options {
        std::optional<std::string> ref;
        server::ServerOptions server;
        bool no_webui = false;
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
    command->add_flag("--no-webui", options->no_webui, "no chat page at /");
    command
        ->add_option("--allow-host", server.allowed_hosts,
                     "also answer requests whose Host header names NAME (on a loopback address "
                     "only this machine's own names are answered)")
        ->delimiter(',');
    command
        ->add_option("--allow-origin", server.allowed_origins,
                     "let scripts of web pages from ORIGIN (https://app.example, or * for any) "
                     "read the answers; pages of this machine always may (repeatable)")
        ->delimiter(',');
    command->add_flag("--metrics", server.metrics, "serve /metrics in Prometheus' text format");
    command
        ->add_option("--keep-alive", server.keep_alive,
                     "how long an idle model stays loaded (\"5m\", \"1h\", seconds; "
                     "negative: for ever)")
        ->capture_default_str();
    command
        ->add_option("--models-dir", server.models_dirs,
                     "a folder whose GGUF files requests may name by path (repeatable; besides "
                     "these the server opens only REF, Kestrune's models and other runtimes' "
                     "stores)")
        ->check(CLI::ExistingDirectory);
    command
        ->add_option("--rpc", server.rpc_workers,
                     "RPC workers (HOST:PORT, comma-separated) to spread each model over")
        ->delimiter(',');
    command->footer(
        "Examples:\n"
        "  kestrune serve ./model.gguf --parallel 4\n"
        "  curl http://127.0.0.1:11435/v1/chat/completions -H 'Content-Type: application/json' -d "
        "'{\"model\":\"model\",\"messages\":[{\"role\":\"user\",\"content\":\"hi\"}]}'\n"
        "  curl http://127.0.0.1:11435/api/generate -H 'Content-Type: application/json' -d "
        "'{\"model\":\"model\","
        "\"prompt\":\"hi\"}'\n"
        "Requests name a model by the short name the banner shows (the file name without .gguf), "
        "its file name or the reference it was served by.");
    command->callback([options] {
        options->server.model = options->ref.value_or(default_model_path());
        options->server.webui = !options->no_webui;
        options->server.download_dir = registry::RegistryStore().store_dir();
        // A fresh machine has no cache folder yet, and a download into none is refused.
        std::filesystem::create_directories(options->server.download_dir);
        serve(options->server);
    });
}

}  // namespace kestrune::cli
