#include "kestrune/engine/workers.hpp"

#include <algorithm>

#include "kestrune/engine/hardware.hpp"
#include "platform/llama/rpc_probe.hpp"
#include "platform/llama/rpc_worker.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint64_t kBytesPerMb = 1048576;

// Beyond what bytes can count, every byte: a cap must never wrap around to a small one.
std::uint64_t bytes_of_mb(std::int64_t mb) {
    const auto positive = static_cast<std::uint64_t>(std::max<std::int64_t>(mb, 0));
    return positive > UINT64_MAX / kBytesPerMb ? UINT64_MAX : positive * kBytesPerMb;
}

}  // namespace

std::vector<WorkerShare> probe_workers(const std::vector<std::string>& endpoints) {
    std::vector<WorkerShare> workers;
    for (const std::string& endpoint : endpoints) {
        const auto memory = platform::rpc::probe_worker(platform::rpc::parse_endpoint(endpoint));
        workers.push_back({.endpoint = endpoint,
                           .free_mb = static_cast<std::int64_t>(memory.free_bytes / kBytesPerMb)});
    }
    return workers;
}

InferencePlan plan_across_workers(const InferencePlan& plan, const ModelSpec& spec,
                                  const std::vector<std::string>& endpoints) {
    return split_across_workers(plan, spec, local_free_mb(), probe_workers(endpoints));
}

RpcWorker::RpcWorker(const RpcWorkerOptions& options)
    : worker_(std::make_unique<platform::rpc::Worker>(platform::rpc::WorkerOptions{
          .host = options.host,
          .port = options.port,
          .memory_cap = options.mem_mb ? std::optional(bytes_of_mb(*options.mem_mb)) : std::nullopt,
          .threads = options.threads})) {}

RpcWorker::~RpcWorker() = default;

std::string RpcWorker::address() const {
    return worker_->endpoint();
}

std::vector<std::string> RpcWorker::devices() const {
    return worker_->devices();
}

}  // namespace kestrune::engine
