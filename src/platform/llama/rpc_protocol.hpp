// The parts of llama.cpp's RPC protocol that both the probe and the relay speak: the commands,
// the handshake's sizes and how a request and an answer are framed. A request is a command
// byte, a 64-bit size and the body; an answer is a 64-bit size and the body. Values are
// little-endian, as the library writes them.
//
// The protocol has no authentication: a worker belongs on a trusted network only.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "platform/os/tcp.hpp"

namespace kestrune::platform::rpc {

// A worker's address: a host name or IPv4 address and a port.
using tcp::Endpoint;

// How long connecting to a worker may take.
inline constexpr std::chrono::seconds kConnectTimeout{5};

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

inline constexpr std::size_t kConnectionCapsSize = 24;
inline constexpr std::size_t kHelloAnswerSize = 4 + kConnectionCapsSize;

// A value read from the front of `bytes`; missing bytes read as zeros.
template <typename T>
T load_value(std::span<const std::uint8_t> bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

// `value` written at the front of `bytes`, as much of it as fits.
template <typename T>
void store_value(std::span<std::uint8_t> bytes, T value) {
    std::memcpy(bytes.data(), &value, std::min(bytes.size(), sizeof value));
}

// A request's command and size, as they precede its body.
struct Header {
    std::array<std::uint8_t, 1 + sizeof(std::uint64_t)> bytes{};

    Header(std::uint8_t command, std::uint64_t size);
};

// The size an answer announces, which must be the one its request calls for; tcp::Broken
// otherwise.
std::uint64_t read_answer_size(tcp::Inbound& in, std::uint64_t expected,
                               std::optional<tcp::Millis> timeout);

// "RPC worker HOST:PORT", how messages name a worker.
std::string worker_text(const Endpoint& worker);

}  // namespace kestrune::platform::rpc
