// llama.cpp's RPC backend, which spreads a model's layers over worker machines, made safe to
// depend on. Its client aborts the whole process when a worker is unreachable or stops
// answering; here every worker is first asked for its memory over our own connection (a clear
// error names the one that does not answer), and the library's client then talks to the worker
// through a relay on loopback that reads the protocol's messages. When the worker fails, the
// relay answers in its place with well-formed empty replies, so the library never sees a
// broken connection, and remembers why: the caller checks failure() after each computation and
// ends the work with that message.
//
// The protocol has no authentication: a worker belongs on a trusted network only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "platform/os/tcp.hpp"

struct ggml_backend_device;

namespace kestrune::platform::rpc {

// A worker's address: a host name or IPv4 address and a port.
using tcp::Endpoint;

// "host:port" with a port in 1..65535; anything else is an InvalidValueError quoting it.
Endpoint parse_endpoint(std::string_view text);

// The memory a worker reports for its devices, summed.
struct WorkerMemory {
    std::uint64_t free_bytes = 0;
    std::uint64_t total_bytes = 0;
    int devices = 0;
};

// How long a worker may take to answer one request before it is given up.
inline constexpr std::chrono::seconds kAnswerTimeout{120};
// How long connecting to a worker may take.
inline constexpr std::chrono::seconds kConnectTimeout{5};

// Connects, shakes hands and asks for the worker's devices and their memory. A worker that
// cannot be reached, answers nothing within `timeout`, speaks another protocol version or
// reports no device (or more than a model can be placed on) is a RuntimeFailure naming it.
WorkerMemory probe_worker(const Endpoint& worker,
                          std::chrono::milliseconds timeout = kConnectTimeout);

struct RelayOptions {
    std::string listen_host = "127.0.0.1";
    int listen_port = 0;  // 0: any free port
    std::chrono::milliseconds answer_timeout = kAnswerTimeout;
    // The free and total memory reported for each device are capped at this many bytes.
    std::optional<std::uint64_t> memory_cap = std::nullopt;
    // When the worker fails: true gives it up for good and answers in its place (the library's
    // client must not see a broken connection); false closes that one connection (a worker's
    // own front, whose clients are on other machines).
    bool stand_in = true;
};

// Listens on `options.listen_host`, and relays each connection to `worker` message by message.
class Relay {
  public:
    // Throws RuntimeFailure when it cannot listen.
    Relay(Endpoint worker, RelayOptions options = {});
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Where it listens, as "host:port".
    std::string endpoint() const;
    // Why the worker was given up ("RPC worker HOST:PORT ..."); empty while it works.
    std::optional<std::string> failure() const;

  private:
    struct Connection;
    void accept_connections();
    void serve(std::shared_ptr<Connection> connection);
    void forget_finished_connections();
    void give_up(const std::string& why);
    bool failed() const { return failed_.load(); }

    Endpoint worker_;
    RelayOptions options_;
    Descriptor listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;
    std::string failure_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::thread acceptor_;
};

// The library's RPC client: devices of a worker reached at `endpoint` (a relay's).
// MissingComponentError when the RPC backend is not installed.
std::vector<ggml_backend_device*> worker_devices(const std::string& endpoint);

struct WorkerOptions {
    std::string host = "127.0.0.1";
    int port = 50052;  // 0: any free port
    std::optional<std::uint64_t> memory_cap = std::nullopt;
    int threads = 0;  // 0: every logical processor
};

// A worker serving this machine's devices (its GPUs, else its CPU) with the library's own RPC
// server, listening where asked; with a memory cap, behind a relay that caps the memory it
// reports. Runs until the process ends.
class Worker {
  public:
    // Throws MissingComponentError without the RPC backend, RuntimeFailure when it cannot
    // listen.
    explicit Worker(const WorkerOptions& options);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Where it listens, as "host:port".
    const std::string& endpoint() const { return endpoint_; }
    // Names of the devices it serves, with their memory.
    const std::vector<std::string>& devices() const { return devices_; }

  private:
    std::vector<std::string> devices_;
    std::string endpoint_;
    std::unique_ptr<Relay> front_;
};

}  // namespace kestrune::platform::rpc
