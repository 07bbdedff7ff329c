#include "platform/llama/rpc_relay.hpp"

#include <ggml-rpc.h>
#include <ggml.h>
#include <sys/socket.h>

#include <cerrno>
#include <functional>
#include <utility>

namespace kestrune::platform::rpc {

namespace {

using tcp::Broken;
using tcp::Bytes;
using tcp::bytes_of;
using tcp::Inbound;
using tcp::send_all;

// Requests up to this size are read whole (every fixed-size one); larger ones (tensor data,
// graphs) are passed on in chunks.
constexpr std::uint64_t kWholeRequestLimit = 64 * 1024;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kStandInAlignment = 64;
constexpr std::uint64_t kStandInMaxSize = std::uint64_t{1} << 40;

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

}  // namespace

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

}  // namespace kestrune::platform::rpc
