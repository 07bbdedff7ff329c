// Kestrune's HTTP server: every model Kestrune can resolve, served over the OpenAI API
// (/v1/...) and Ollama's (/api/...), many clients at once. A program embeds it like this:
//
//   kestrune::server::Server server({.port = 0, .model = "model.gguf", .parallel = 4});
//   server.start();                 // listening, default model loaded
//   std::cout << server.address();  // "http://127.0.0.1:40123"
//   ...
//   server.stop();                  // running streams end cleanly
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"

namespace kestrune::server {

struct KESTRUNE_API ServerOptions {
    std::string host = "127.0.0.1";
    int port = 11435;     // 0: any free port
    std::string model;    // loaded at start and used when a request names none ("": none)
    int parallel = 1;     // sequences decoded together per model
    int n_ctx = 2048;     // context of each sequence, in tokens
    int n_threads = 0;    // 0: every logical processor
    std::string api_key;  // "": no key asked for
    int max_models = 1;   // models loaded at once
    bool allow_pull = false;
    bool quiet = false;  // no access line per request
    int max_queue = 64;  // requests waiting for a slot, per model; beyond them: 429
    std::size_t max_body_bytes = 8 * 1024 * 1024;
    std::string download_dir = ".";  // where --allow-pull downloads land
    // RPC workers (host:port) each model's layers are spread over, with this machine.
    std::vector<std::string> rpc_workers = {};
    // Served on a loopback address, a request must name it, localhost, 127.0.0.1 or [::1] (with
    // or without the port) in its Host header, or one of these names; anything else is 403, so
    // a web page on a name that re-resolves to this machine cannot read the answers.
    std::vector<std::string> allowed_hosts = {};
    // Folders whose GGUF files requests may name by path. Besides them the server opens only
    // `model`, Kestrune's own models and the stores of other runtimes.
    std::vector<std::string> models_dirs = {};
    bool webui = true;  // the chat page at / (built into the program)
    // Web pages whose scripts may read the answers (CORS), besides pages of this machine
    // (http://localhost, 127.0.0.1 or [::1], any port): origins as "https://app.example", or "*"
    // for every origin.
    std::vector<std::string> allowed_origins = {};
    bool metrics = false;  // /metrics, in Prometheus' text format
    // How long a model stays loaded once idle, unless a request's keep_alive says: a duration
    // ("5m", "1h", "90s", seconds); negative: for ever. A bad one throws InvalidValueError.
    std::string keep_alive = "5m";
};

class KESTRUNE_API Server {
  public:
    explicit Server(ServerOptions options);
    // Stops the server if it still runs.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the address, starts serving on a thread of its own and loads the default model
    // (until it is ready, /health and every API route answer 503). Throws when the address
    // cannot be bound or the model cannot be loaded.
    void start();
    // Stops accepting, ends running streams as complete answers and waits for every request
    // to finish. Safe to call more than once.
    void stop();

    // "http://HOST:PORT", once started.
    std::string address() const;
    // The short names the models served by name are shown by (the default one first).
    std::vector<std::string> model_names() const;
    int port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune::server
