#include "platform/llama/rpc_probe.hpp"

#include <ggml-rpc.h>
#include <llama.h>

#include <charconv>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::rpc {

namespace {

using tcp::Broken;
using tcp::Bytes;
using tcp::Inbound;
using tcp::Millis;

// One request and its answer.
std::vector<std::uint8_t> ask(int fd, Inbound& in, Command command, Bytes request,
                              std::uint64_t answer_size, Millis timeout) {
    tcp::send_all(fd, {Header(command, request.size()).bytes, request}, timeout);
    std::vector<std::uint8_t> answer(read_answer_size(in, answer_size, timeout));
    in.read_exact(answer.data(), answer.size(), timeout);
    return answer;
}

// A worker's own account of its memory: summed without wrapping around, whatever it claims.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
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

}  // namespace kestrune::platform::rpc
