// llama.cpp's RPC backend, which spreads a model's layers over worker machines: its client (the
// devices of a worker, as the library sees them) and its server (a worker serving this
// machine's devices). The backend is a separate library, loaded when first needed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/llama/rpc_relay.hpp"

struct ggml_backend_device;

namespace kestrune::platform::rpc {

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
