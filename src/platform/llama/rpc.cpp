#include "platform/llama/rpc.hpp"

#include <ggml-backend.h>
#include <ggml-rpc.h>
#include <ggml.h>
#include <llama.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <utility>

#include "platform/llama/library.hpp"

namespace kestrune::platform::rpc {

namespace {

using Clock = std::chrono::steady_clock;
using tcp::Broken;
using tcp::Bytes;
using tcp::bytes_of;
using tcp::Inbound;
using tcp::Millis;
using tcp::send_all;

// The protocol's commands, numbered as the library numbers them.
enum Command : std::uint8_t {
    kAllocBuffer = 0,
    kGetAlignment,
    kGetMaxSize,
    kBufferGetBase,
    kFreeBuffer,
    kBufferClear,
    kSetTensor,
    kSetTensorHash,
    kGetTensor,
    kCopyTensor,
    kGraphCompute,
    kGetDeviceMemory,
    kInitTensor,
    kGetAllocSize,
    kHello,
    kDeviceCount,
    kGraphRecompute,
    kMemsetTensor,
    kNone,
    kCommandCount,
};
static_assert(kHello == 14, "the handshake's number is fixed by the protocol");

constexpr std::size_t kConnectionCapsSize = 24;
constexpr std::size_t kHelloAnswerSize = 4 + kConnectionCapsSize;
// Requests up to this size are read whole (every fixed-size one); larger ones (tensor data,
// graphs) are passed on in chunks.
constexpr std::uint64_t kWholeRequestLimit = 64 * 1024;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kStandInAlignment = 64;
constexpr std::uint64_t kStandInMaxSize = std::uint64_t{1} << 40;

constexpr const char* kNotInstalled =
    "llama.cpp's RPC backend is not installed: run scripts/setup --rpc (it compiles "
    "libggml-rpc.so beside the llama.cpp libraries), then try again";

template <typename T>
T load_value(std::span<const std::uint8_t> bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

template <typename T>
void store_value(std::span<std::uint8_t> bytes, T value) {
    std::memcpy(bytes.data(), &value, std::min(bytes.size(), sizeof value));
}

// The size an answer announces, which must be the one its request calls for.
std::uint64_t read_answer_size(Inbound& in, std::uint64_t expected, std::optional<Millis> timeout) {
    const auto size = in.read_value<std::uint64_t>(timeout);
    if (size != expected) {
        throw Broken("answered " + std::to_string(size) + " bytes where " +
                     std::to_string(expected) + " were due");
    }
    return size;
}

// A request's command and size, as they precede its body.
struct Header {
    std::array<std::uint8_t, 1 + sizeof(std::uint64_t)> bytes{};

    Header(std::uint8_t command, std::uint64_t size) {
        bytes[0] = command;
        std::memcpy(bytes.data() + 1, &size, sizeof size);
    }
};

// One request and its answer, on a connection of our own.
std::vector<std::uint8_t> ask(int fd, Inbound& in, Command command, Bytes request,
                              std::uint64_t answer_size, Millis timeout) {
    send_all(fd, {Header(command, request.size()).bytes, request}, timeout);
    std::vector<std::uint8_t> answer(read_answer_size(in, answer_size, timeout));
    in.read_exact(answer.data(), answer.size(), timeout);
    return answer;
}

// --- the messages ---

// The size of the answer `command` gets, or none for commands answered by nothing. A tensor
// read is answered with the bytes it asks for: its request ends with their count.
std::optional<std::uint64_t> answer_size(std::uint8_t command,
                                         std::span<const std::uint8_t> request) {
    switch (command) {
        case kHello:
            return kHelloAnswerSize;
        case kDeviceCount:
            return sizeof(std::uint32_t);
        case kAllocBuffer:
        case kGetDeviceMemory:
            return 2 * sizeof(std::uint64_t);
        case kGetAlignment:
        case kGetMaxSize:
        case kBufferGetBase:
        case kGetAllocSize:
            return sizeof(std::uint64_t);
        case kSetTensorHash:
        case kCopyTensor:
            return 1;
        case kGetTensor:
            return request.size() >= sizeof(std::uint64_t)
                       ? load_value<std::uint64_t>(request.last(sizeof(std::uint64_t)))
                       : 0;
        default:
            return std::nullopt;
    }
}

// Where a serialized tensor keeps its type and shape: after its 64-bit id, the 32-bit type, the
// 64-bit buffer, then four 32-bit counts and four 32-bit strides.
constexpr std::size_t kTensorTypeOffset = 8;
constexpr std::size_t kTensorCountsOffset = 20;
constexpr std::size_t kTensorStridesOffset = 36;
constexpr std::size_t kTensorShapeEnd = 52;
constexpr std::uint64_t kStandInBase = 0x10000;

// The bytes a tensor takes, as ggml counts them, from its serialized form.
std::uint64_t serialized_tensor_bytes(std::span<const std::uint8_t> tensor) {
    if (tensor.size() < kTensorShapeEnd) {
        return 0;
    }
    const auto type = load_value<std::uint32_t>(tensor.subspan(kTensorTypeOffset));
    if (type >= GGML_TYPE_COUNT) {
        return 0;
    }
    const auto ggml = static_cast<ggml_type>(type);
    const auto count = [&](int i) {
        return load_value<std::uint32_t>(tensor.subspan(kTensorCountsOffset + 4 * i));
    };
    const auto stride = [&](int i) {
        return load_value<std::uint32_t>(tensor.subspan(kTensorStridesOffset + 4 * i));
    };
    const auto block = static_cast<std::uint64_t>(std::max<std::int64_t>(ggml_blck_size(ggml), 1));
    std::uint64_t bytes =
        block == 1 ? ggml_type_size(ggml) : std::uint64_t{count(0)} * stride(0) / block;
    for (int i = block == 1 ? 0 : 1; i < 4; ++i) {
        bytes += std::uint64_t{std::max<std::uint32_t>(count(i), 1) - 1} * stride(i);
    }
    return bytes;
}

// What the relay answers for a worker that is gone: well formed and as plausible as the
// library expects (buffers that exist, sizes as ggml computes them), so that it goes on
// without tripping on its own checks, computing on zeros until the caller sees the failure.
// A refusal would send the library down error paths that end in aborts.
std::vector<std::uint8_t> stand_in_answer(std::uint8_t command,
                                          std::span<const std::uint8_t> request, std::uint64_t size,
                                          std::uint64_t& next_buffer) {
    std::vector<std::uint8_t> answer(std::min<std::uint64_t>(size, kChunk), 0);
    std::span<std::uint8_t> bytes(answer);
    switch (command) {
        case kHello:
            answer[0] = RPC_PROTO_MAJOR_VERSION;
            answer[1] = RPC_PROTO_MINOR_VERSION;
            answer[2] = RPC_PROTO_PATCH_VERSION;
            break;
        case kDeviceCount:
            store_value<std::uint32_t>(bytes, 1);
            break;
        case kGetAlignment:
            store_value(bytes, kStandInAlignment);
            break;
        case kGetMaxSize:
            store_value(bytes, kStandInMaxSize);
            break;
        case kAllocBuffer:  // the request: a 32-bit device, then the size
            store_value(bytes, next_buffer++);
            store_value(bytes.subspan(8), load_value<std::uint64_t>(request.subspan(
                                              std::min<std::size_t>(request.size(), 4))));
            break;
        case kBufferGetBase:
            store_value(bytes, kStandInBase);
            break;
        case kGetAllocSize:  // the request: a 32-bit device, then the tensor
            store_value(bytes, serialized_tensor_bytes(
                                   request.subspan(std::min<std::size_t>(request.size(), 4))));
            break;
        default:
            break;
    }
    return answer;
}

void cap_memory(std::span<std::uint8_t> answer, std::uint64_t cap) {
    for (std::size_t offset = 0; offset + sizeof(std::uint64_t) <= answer.size();
         offset += sizeof(std::uint64_t)) {
        const auto value = load_value<std::uint64_t>(answer.subspan(offset));
        store_value(answer.subspan(offset), std::min(value, cap));
    }
}

// A worker's own account of its memory: summed without wrapping around, whatever it claims.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

std::string worker_text(const Endpoint& worker) {
    return "RPC worker " + worker.text();
}

}  // namespace

Endpoint parse_endpoint(std::string_view text) {
    const auto colon = text.rfind(':');
    int port = 0;
    const bool has_host = colon != std::string_view::npos && colon > 0;
    const auto digits = has_host ? text.substr(colon + 1) : std::string_view{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (!has_host || digits.empty() || error != std::errc{} ||
        end != digits.data() + digits.size() || port < 1 || port > 65535) {
        throw InvalidValueError("An RPC worker is given as HOST:PORT (port 1 to 65535), not '" +
                                std::string(text) + "'");
    }
    return {.host = std::string(text.substr(0, colon)), .port = port};
}

WorkerMemory probe_worker(const Endpoint& worker, std::chrono::milliseconds timeout) {
    try {
        const Descriptor socket = tcp::connect_to(worker, timeout);
        Inbound in(socket.get());
        const std::array<std::uint8_t, kConnectionCapsSize> no_caps{};
        const auto hello = ask(socket.get(), in, kHello, no_caps, kHelloAnswerSize, timeout);
        if (hello[0] != RPC_PROTO_MAJOR_VERSION) {
            throw RuntimeFailure(worker_text(worker) + " speaks RPC protocol version " +
                                 std::to_string(hello[0]) + ", not " +
                                 std::to_string(RPC_PROTO_MAJOR_VERSION) +
                                 ": run the same llama.cpp release on every machine");
        }
        const auto count = load_value<std::uint32_t>(
            ask(socket.get(), in, kDeviceCount, {}, sizeof(std::uint32_t), timeout));
        // llama.cpp places a model on at most llama_max_devices(), all machines together.
        if (count == 0 || count > llama_max_devices()) {
            throw RuntimeFailure(worker_text(worker) + " reports " + std::to_string(count) +
                                 " devices, where 1 to " + std::to_string(llama_max_devices()) +
                                 " can hold a model's layers");
        }
        WorkerMemory memory{.devices = static_cast<int>(count)};
        for (std::uint32_t device = 0; device < count; ++device) {
            std::array<std::uint8_t, sizeof device> request{};
            store_value<std::uint32_t>(request, device);
            const auto answer = ask(socket.get(), in, kGetDeviceMemory, request, 16, timeout);
            memory.free_bytes =
                saturating_add(memory.free_bytes, load_value<std::uint64_t>(answer));
            memory.total_bytes = saturating_add(
                memory.total_bytes, load_value<std::uint64_t>(std::span(answer).subspan(8)));
        }
        return memory;
    } catch (const Broken& broken) {
        throw RuntimeFailure(
            worker_text(worker) + " is unreachable: " + broken.what() +
            " (is `kestrune worker` running there, and not serving another client?)");
    }
}

// --- the relay ---

struct Relay::Connection {
    Descriptor client;
    Descriptor upstream;  // replaced and closed under the relay's mutex
    std::thread thread;
    std::atomic<bool> done{false};
};

Relay::Relay(Endpoint worker, RelayOptions options)
    : worker_(std::move(worker)), options_(std::move(options)) {
    listener_ = tcp::listen_on({options_.listen_host, options_.listen_port});
    port_ = tcp::bound_port(listener_.get());
    acceptor_ = std::thread([this] { accept_connections(); });
}

Relay::~Relay() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connections_) {
            ::shutdown(connection->client.get(), SHUT_RDWR);
            if (connection->upstream.get() >= 0) {
                ::shutdown(connection->upstream.get(), SHUT_RDWR);
            }
        }
    }
    for (const auto& connection : connections_) {
        connection->thread.join();
    }
}

std::string Relay::endpoint() const {
    return options_.listen_host + ":" + std::to_string(port_);
}

std::optional<std::string> Relay::failure() const {
    if (!failed()) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    return failure_;
}

void Relay::give_up(const std::string& why) {
    std::lock_guard lock(mutex_);
    if (!failed_.exchange(true)) {
        failure_ = worker_text(worker_) + " " + why;
    }
}

void Relay::accept_connections() {
    while (!stopping_) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        tcp::set_no_delay(fd);
        auto connection = std::make_shared<Connection>();
        connection->client = Descriptor(fd);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        forget_finished_connections();
        connections_.push_back(connection);
        connection->thread = std::thread([this, connection] {
            serve(connection);
            connection->done = true;
        });
    }
}

// Called with mutex_ held: a long-lived worker sees many clients come and go.
void Relay::forget_finished_connections() {
    std::erase_if(connections_, [](const std::shared_ptr<Connection>& connection) {
        if (!connection->done) {
            return false;
        }
        connection->thread.join();
        return true;
    });
}

namespace {

// One connection's traffic: requests from the client go to the worker, answers come back.
// While the worker works, bytes pass through unchanged; once it fails, `on_failure` decides
// (give it up and answer in its place, or end the connection).
class Pump {
  public:
    Pump(int client, int upstream, const RelayOptions& options,
         std::function<void(const std::string&)> on_failure, std::function<bool()> failed)
        : client_(client),
          upstream_(upstream),
          from_client_(client),
          from_worker_(upstream),
          options_(options),
          on_failure_(std::move(on_failure)),
          failed_(std::move(failed)) {}

    // Until the client goes; Broken from the client ends it.
    void run() {
        while (true) {
            std::uint8_t command = 0;
            try {
                from_client_.read_exact(&command, 1, std::nullopt);
            } catch (const Broken&) {
                return;
            }
            const auto size = from_client_.read_value<std::uint64_t>(std::nullopt);
            if (command >= kCommandCount) {
                return;
            }
            Bytes request;
            if (size <= kWholeRequestLimit) {
                request_.resize(size);
                from_client_.read_exact(request_.data(), request_.size(), std::nullopt);
                request = request_;
                to_worker([&] {
                    send_all(upstream_, {Header(command, size).bytes, request},
                             options_.answer_timeout);
                });
            } else {
                pass_large_request(command, size);
            }
            if (const auto expected = answer_size(command, request)) {
                answer(command, request, *expected);
            }
        }
    }

  private:
    bool worker_usable() const { return upstream_ >= 0 && !failed_(); }

    // Runs `step` against the worker unless it is already given up; a failure gives it up.
    template <typename Step>
    void to_worker(Step step) {
        if (!worker_usable()) {
            return;
        }
        try {
            step();
        } catch (const Broken& broken) {
            fail(broken.what());
        }
    }

    void fail(const std::string& why) {
        ::shutdown(upstream_, SHUT_RDWR);
        upstream_ = -1;
        on_failure_(why);
        if (!options_.stand_in) {
            throw Broken(why);
        }
    }

    // A buffer for the parts of large messages, made once per connection.
    std::span<std::uint8_t> chunk() {
        if (!chunk_) {
            chunk_ = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
        }
        return {chunk_.get(), kChunk};
    }

    void pass_large_request(std::uint8_t command, std::uint64_t size) {
        const Header header(command, size);
        const auto buffer = chunk();
        for (std::uint64_t left = size; left > 0;) {
            const std::size_t part = from_client_.read_some(
                buffer.data(), std::min<std::uint64_t>(left, buffer.size()), std::nullopt);
            const Bytes head = left == size ? Bytes(header.bytes) : Bytes();
            to_worker([&] {
                send_all(upstream_, {head, buffer.first(part)}, options_.answer_timeout);
            });
            left -= part;
        }
    }

    void answer(std::uint8_t command, Bytes request, std::uint64_t expected) {
        std::uint64_t passed = 0;
        bool header_sent = false;
        to_worker([&] {
            const auto size = read_answer_size(from_worker_, expected, options_.answer_timeout);
            const auto buffer = chunk();
            do {
                auto part = buffer.first(std::min<std::uint64_t>(size - passed, buffer.size()));
                if (command == kGetDeviceMemory && options_.memory_cap) {
                    // Capped whole: its values must not be split between reads.
                    from_worker_.read_exact(part.data(), part.size(), options_.answer_timeout);
                    cap_memory(part, *options_.memory_cap);
                } else if (!part.empty()) {
                    part = part.first(
                        from_worker_.read_some(part.data(), part.size(), options_.answer_timeout));
                }
                send_all(client_, {header_sent ? Bytes() : bytes_of(size), part}, std::nullopt);
                header_sent = true;
                passed += part.size();
            } while (passed < size);
        });
        if (passed < expected || !header_sent) {
            stand_in(command, request, expected, passed, header_sent);
        }
    }

    // The rest of an answer the worker did not give.
    void stand_in(std::uint8_t command, Bytes request, std::uint64_t size, std::uint64_t passed,
                  bool header_sent) {
        if (!header_sent) {
            send_all(client_, {bytes_of(size)}, std::nullopt);
        }
        const auto filler = stand_in_answer(command, request, size, next_buffer_);
        while (passed < size) {
            const std::size_t part = std::min<std::uint64_t>(size - passed, filler.size());
            // A partly passed answer is completed with zeros, never with the stand-in's head.
            const std::uint8_t* from = passed == 0 ? filler.data() : zeros().data();
            send_all(client_, {Bytes(from, part)}, std::nullopt);
            passed += part;
        }
    }

    static const std::vector<std::uint8_t>& zeros() {
        static const std::vector<std::uint8_t> block(kChunk, 0);
        return block;
    }

    int client_;
    int upstream_;
    Inbound from_client_;
    Inbound from_worker_;
    const RelayOptions& options_;
    std::function<void(const std::string&)> on_failure_;
    std::function<bool()> failed_;
    std::vector<std::uint8_t> request_;
    std::unique_ptr<std::uint8_t[]> chunk_;
    std::uint64_t next_buffer_ = 1;  // the buffers stood in for, never 0 (no buffer)
};

}  // namespace

void Relay::serve(std::shared_ptr<Connection> connection) {
    if (!failed()) {
        try {
            Descriptor upstream = tcp::connect_to(worker_, kConnectTimeout);
            std::lock_guard lock(mutex_);
            connection->upstream = std::move(upstream);
        } catch (const Broken& broken) {
            give_up(std::string("is unreachable: ") + broken.what());
        }
    }
    // Only this thread replaces the connection's descriptors: reading them here needs no lock.
    const int client = connection->client.get();
    if (!options_.stand_in && connection->upstream.get() < 0) {
        ::shutdown(client, SHUT_RDWR);
        return;
    }
    Pump pump(
        client, connection->upstream.get(), options_,
        [this](const std::string& why) {
            if (options_.stand_in) {
                give_up("stopped answering: " + why);
            }
        },
        [this] { return options_.stand_in && failed(); });
    try {
        pump.run();
    } catch (const Broken&) {
        // The client went away, or (a worker's front) the worker did: the connection ends.
    }
    ::shutdown(client, SHUT_RDWR);
    // At once: a worker serves one connection at a time, and the client's next one waits.
    std::lock_guard lock(mutex_);
    connection->upstream.reset();
}

// --- the library's RPC backend ---

namespace {

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
