// TCP connections spoken byte for byte, with a time-out on every wait: connecting, listening,
// buffered reads and gathered writes. IPv4 only, as llama.cpp's RPC transport.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/os/descriptor.hpp"

namespace kestrune::platform::tcp {

using Millis = std::chrono::milliseconds;

// A host name or IPv4 address and a port.
struct Endpoint {
    std::string host;
    int port = 0;

    std::string text() const { return host + ":" + std::to_string(port); }
};

// A connection ended or could not be made; what() says how ("connection closed", a system
// error, a time-out).
class Broken : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "N s", for messages about a time-out.
std::string seconds_text(Millis timeout);

// Bytes from one socket, taken as much at a time as has arrived: a peer that sends a message's
// parts apart then costs one wakeup and one call rather than one each. Throws Broken; each wait
// for more bytes gets the whole time-out (none: it waits for ever).
class Inbound {
  public:
    explicit Inbound(int fd);

    // At least one byte and at most `size`; a read larger than the buffer bypasses it.
    std::size_t read_some(void* data, std::size_t size, std::optional<Millis> timeout);
    void read_exact(void* data, std::size_t size, std::optional<Millis> timeout);

    template <typename T>
    T read_value(std::optional<Millis> timeout) {
        T value{};
        read_exact(&value, sizeof value, timeout);
        return value;
    }

  private:
    static constexpr std::size_t kSize = 64 * 1024;
    int fd_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

using Bytes = std::span<const std::uint8_t>;

template <typename T>
Bytes bytes_of(const T& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

// Sends the parts (at most four) as one write where the socket takes them: a message's header
// and body leave in one packet, and the far side wakes once for it. Throws Broken.
void send_all(int fd, std::initializer_list<Bytes> parts, std::optional<Millis> timeout);

// A connection with Nagle's algorithm off; Broken when none is made within `timeout`.
Descriptor connect_to(const Endpoint& endpoint, Millis timeout);
// A socket listening at `endpoint` (port 0: any free one); RuntimeFailure when it cannot,
// "address HOST:PORT is in use" when another socket listens there.
Descriptor listen_on(const Endpoint& endpoint);
// Nagle's algorithm off, for small messages answered at once.
void set_no_delay(int fd);
// The port a socket is bound to.
int bound_port(int fd);
// The first IPv4 address `endpoint`'s host resolves to, as text; Broken when it resolves to
// none.
std::string numeric_address(const Endpoint& endpoint);

}  // namespace kestrune::platform::tcp
