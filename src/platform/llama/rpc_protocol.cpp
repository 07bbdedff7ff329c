#include "platform/llama/rpc_protocol.hpp"

namespace kestrune::platform::rpc {

Header::Header(std::uint8_t command, std::uint64_t size) {
    bytes[0] = command;
    std::memcpy(bytes.data() + 1, &size, sizeof size);
}

std::uint64_t read_answer_size(tcp::Inbound& in, std::uint64_t expected,
                               std::optional<tcp::Millis> timeout) {
    const auto size = in.read_value<std::uint64_t>(timeout);
    if (size != expected) {
        throw tcp::Broken("answered " + std::to_string(size) + " bytes where " +
                          std::to_string(expected) + " were due");
    }
    return size;
}

std::string worker_text(const Endpoint& worker) {
    return "RPC worker " + worker.text();
}

}  // namespace kestrune::platform::rpc
