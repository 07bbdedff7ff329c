// Asking an RPC worker, over a connection of our own, whether it answers and how much memory
// it offers. llama.cpp's own client aborts the whole process when a worker is unreachable;
// probing each worker first turns that into a clear error naming the one that does not answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "platform/llama/rpc_protocol.hpp"

namespace kestrune::platform::rpc {

// "host:port" with a port in 1..65535; anything else is an InvalidValueError quoting it.
Endpoint parse_endpoint(std::string_view text);

// The memory a worker reports for its devices, summed.
struct WorkerMemory {
    std::uint64_t free_bytes = 0;
    std::uint64_t total_bytes = 0;
    int devices = 0;
};

// Connects, shakes hands and asks for the worker's devices and their memory. A worker that
// cannot be reached, answers nothing within `timeout`, speaks another protocol version or
// reports no device (or more than a model can be placed on) is a RuntimeFailure naming it.
WorkerMemory probe_worker(const Endpoint& worker,
                          std::chrono::milliseconds timeout = kConnectTimeout);

}  // namespace kestrune::platform::rpc
