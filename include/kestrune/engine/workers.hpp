// Models split across machines with llama.cpp's RPC backend: a worker serving this machine's
// devices to others, and the planning that asks workers for their memory.
//
// The RPC protocol has no authentication: whoever reaches a worker's port can use its memory
// and processors, so a worker belongs on a trusted network only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/engine/planner.hpp"

namespace kestrune::platform::rpc {
class Worker;
}

namespace kestrune::engine {

// Asks each RPC worker (host:port) how much memory it has free; the shares have no layers yet.
// InvalidValueError for an address that is not HOST:PORT, RuntimeFailure naming the first
// worker that cannot be reached or does not answer, before anything is loaded.
KESTRUNE_API std::vector<WorkerShare> probe_workers(const std::vector<std::string>& endpoints);

// `plan` split over this machine and the workers at `endpoints` by the free memory of each.
KESTRUNE_API InferencePlan plan_across_workers(const InferencePlan& plan, const ModelSpec& spec,
                                               const std::vector<std::string>& endpoints);

struct KESTRUNE_API RpcWorkerOptions {
    std::string host = "127.0.0.1";
    int port = 50052;                                   // 0: any free port
    std::optional<std::int64_t> mem_mb = std::nullopt;  // the memory it offers, at most
    int threads = 0;                                    // 0: every logical processor
};

// A worker serving this machine's devices (its GPUs, else its CPU) to other machines' models
// through llama.cpp's own RPC server, until the process ends.
class KESTRUNE_API RpcWorker {
  public:
    // MissingComponentError without the RPC backend (scripts/setup --rpc installs it),
    // RuntimeFailure when it cannot listen where asked.
    explicit RpcWorker(const RpcWorkerOptions& options);
    ~RpcWorker();
    RpcWorker(const RpcWorker&) = delete;
    RpcWorker& operator=(const RpcWorker&) = delete;

    // Where it listens, as host:port.
    std::string address() const;
    // The devices it serves, with the memory it offers of each.
    std::vector<std::string> devices() const;

  private:
    std::unique_ptr<platform::rpc::Worker> worker_;
};

}  // namespace kestrune::engine
