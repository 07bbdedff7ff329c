#include "platform/llama/rpc_worker.hpp"

#include <ggml-backend.h>
#include <ggml-rpc.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "kestrune/core/errors.hpp"
#include "platform/llama/library.hpp"

namespace kestrune::platform::rpc {

namespace {

using Clock = std::chrono::steady_clock;
using tcp::Broken;
using tcp::Millis;

constexpr const char* kNotInstalled =
    "llama.cpp's RPC backend is not installed: run scripts/setup --rpc (it compiles "
    "libggml-rpc.so beside the llama.cpp libraries), then try again";

ggml_backend_reg_t rpc_registry() {
    llama::initialise_library();
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (ggml_backend_reg_t registry = ggml_backend_reg_by_name("RPC")) {
        return registry;
    }
    const auto file = llama::backend_directory() / "libggml-rpc.so";
    if (!std::filesystem::exists(file)) {
        throw MissingComponentError(kNotInstalled);
    }
    const llama::QuietScope quiet(true);
    ggml_backend_reg_t registry = ggml_backend_load(file.c_str());
    if (registry == nullptr) {
        throw MissingComponentError("llama.cpp's RPC backend " + file.string() +
                                    " could not be loaded: run scripts/setup --rpc again");
    }
    return registry;
}

template <typename Function>
Function* rpc_function(const char* name) {
    auto* function =
        reinterpret_cast<Function*>(ggml_backend_reg_get_proc_address(rpc_registry(), name));
    if (function == nullptr) {
        throw MissingComponentError(std::string("llama.cpp's RPC backend lacks ") + name);
    }
    return function;
}

// The devices a worker serves: its GPUs, or its CPU when it has none.
std::vector<ggml_backend_dev_t> devices_to_serve() {
    std::vector<ggml_backend_dev_t> devices;
    for (std::size_t index = 0; index < ggml_backend_dev_count(); ++index) {
        ggml_backend_dev_t device = ggml_backend_dev_get(index);
        if (ggml_backend_dev_type(device) == GGML_BACKEND_DEVICE_TYPE_GPU) {
            devices.push_back(device);
        }
    }
    if (devices.empty()) {
        devices.push_back(ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU));
    }
    return devices;
}

std::string describe(ggml_backend_dev_t device, std::optional<std::uint64_t> cap) {
    std::size_t free_bytes = 0;
    std::size_t total_bytes = 0;
    ggml_backend_dev_memory(device, &free_bytes, &total_bytes);
    const std::uint64_t limit = cap.value_or(UINT64_MAX);
    constexpr std::uint64_t kMb = 1 << 20;
    return std::string(ggml_backend_dev_name(device)) + " (" +
           ggml_backend_dev_description(device) + "), " +
           std::to_string(std::min<std::uint64_t>(free_bytes, limit) / kMb) + " MB free of " +
           std::to_string(std::min<std::uint64_t>(total_bytes, limit) / kMb) + " MB";
}

// The port to listen on at `endpoint`: its own, or a free one for port 0. Listening there first
// turns a port in use into a clear error rather than a server that never starts.
int free_port(const Endpoint& endpoint) {
    const Descriptor socket = tcp::listen_on(endpoint);
    return tcp::bound_port(socket.get());
}

// The library's server listens once its thread has started; connecting tells when.
void wait_until_listening(const Endpoint& endpoint) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        try {
            tcp::connect_to(endpoint, Millis(200));
            return;
        } catch (const Broken&) {
            std::this_thread::sleep_for(Millis(20));
        }
    }
    throw RuntimeFailure("llama.cpp's RPC server did not start listening on " + endpoint.text());
}

}  // namespace

std::vector<ggml_backend_dev_t> worker_devices(const std::string& endpoint) {
    auto* add_server =
        rpc_function<decltype(ggml_backend_rpc_add_server)>("ggml_backend_rpc_add_server");
    ggml_backend_reg_t registry = add_server(endpoint.c_str());
    std::vector<ggml_backend_dev_t> devices;
    for (std::size_t index = 0; registry && index < ggml_backend_reg_dev_count(registry); ++index) {
        devices.push_back(ggml_backend_reg_dev_get(registry, index));
    }
    return devices;
}

Worker::Worker(const WorkerOptions& options) {
    auto* start_server =
        rpc_function<decltype(ggml_backend_rpc_start_server)>("ggml_backend_rpc_start_server");
    std::vector<ggml_backend_dev_t> devices = devices_to_serve();
    for (ggml_backend_dev_t device : devices) {
        devices_.push_back(describe(device, options.memory_cap));
    }
    // The library's server listens where asked unless the memory it reports must be capped: then
    // it listens on loopback behind a relay that rewrites those answers. A relay costs a hop on
    // every message, which a decoded token pays some twenty times.
    Endpoint server{"127.0.0.1", 0};
    if (!options.memory_cap) {
        server.port = free_port({options.host, options.port});
        server.host = tcp::numeric_address({options.host, server.port});
    } else {
        server.port = free_port(server);
    }
    const std::size_t threads = options.threads > 0
                                    ? static_cast<std::size_t>(options.threads)
                                    : std::max(1U, std::thread::hardware_concurrency());
    // The library's server never returns: its thread lives as long as the process.
    std::thread([start_server, server, threads, devices]() mutable {
        start_server(server.text().c_str(), nullptr, threads, devices.size(), devices.data());
    }).detach();
    wait_until_listening(server);
    if (options.memory_cap) {
        front_ = std::make_unique<Relay>(server, RelayOptions{.listen_host = options.host,
                                                              .listen_port = options.port,
                                                              .memory_cap = options.memory_cap,
                                                              .stand_in = false});
        endpoint_ = front_->endpoint();
    } else {
        endpoint_ = options.host + ":" + std::to_string(server.port);
    }
}

Worker::~Worker() = default;

}  // namespace kestrune::platform::rpc
