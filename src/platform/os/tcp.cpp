#include "platform/os/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::tcp {

namespace {

std::string system_error_text(int error) {
    return std::strerror(error);
}

// Waits until `fd` is ready for `events`; false when `timeout` passed first.
bool wait_for(int fd, short events, std::optional<Millis> timeout) {
    pollfd entry{.fd = fd, .events = events, .revents = 0};
    const int limit = timeout ? static_cast<int>(timeout->count()) : -1;
    while (true) {
        const int ready = ::poll(&entry, 1, limit);
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            throw Broken(system_error_text(errno));
        }
    }
}

// Reads what has arrived, at least one byte and at most `size`. The read is tried before any
// wait: when bytes are already there, that saves a call.
std::size_t receive(int fd, void* data, std::size_t size, std::optional<Millis> timeout) {
    while (true) {
        const ssize_t got = ::recv(fd, data, size, MSG_DONTWAIT);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            throw Broken("connection closed");
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_for(fd, POLLIN, timeout)) {
                throw Broken("no answer within " + seconds_text(*timeout));
            }
        } else if (errno != EINTR) {
            throw Broken(system_error_text(errno));
        }
    }
}

// The IPv4 addresses of `endpoint`: the RPC transport of llama.cpp speaks IPv4 only.
addrinfo* resolve(const Endpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    const int status = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        throw Broken("cannot resolve " + endpoint.host + ": " + ::gai_strerror(status));
    }
    return found;
}

}  // namespace

std::string seconds_text(Millis timeout) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s";
}

Inbound::Inbound(int fd)
    : fd_(fd), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kSize)) {}

std::size_t Inbound::read_some(void* data, std::size_t size, std::optional<Millis> timeout) {
    if (begin_ == end_) {
        if (size >= kSize) {
            return receive(fd_, data, size, timeout);
        }
        begin_ = 0;
        end_ = receive(fd_, buffer_.get(), kSize, timeout);
    }
    const std::size_t taken = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.get() + begin_, taken);
    begin_ += taken;
    return taken;
}

void Inbound::read_exact(void* data, std::size_t size, std::optional<Millis> timeout) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const std::size_t got = read_some(bytes, size, timeout);
        bytes += got;
        size -= got;
    }
}

void send_all(int fd, std::initializer_list<Bytes> parts, std::optional<Millis> timeout) {
    std::array<iovec, 4> vectors{};
    std::size_t count = 0;
    for (const Bytes part : parts) {
        if (!part.empty()) {
            vectors.at(count++) = {.iov_base = const_cast<std::uint8_t*>(part.data()),
                                   .iov_len = part.size()};
        }
    }
    iovec* next = vectors.data();
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!wait_for(fd, POLLOUT, timeout)) {
                    throw Broken("took nothing for " + seconds_text(*timeout));
                }
            } else if (errno != EINTR) {
                throw Broken(system_error_text(errno));
            }
            continue;
        }
        auto left = static_cast<std::size_t>(sent);
        for (; count > 0 && left >= next->iov_len; ++next, --count) {
            left -= next->iov_len;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
}

void set_no_delay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Descriptor connect_to(const Endpoint& endpoint, Millis timeout) {
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(resolve(endpoint),
                                                                   ::freeaddrinfo);
    std::string last_error = "no address";
    for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
        Descriptor socket(::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (socket.get() < 0) {
            last_error = system_error_text(errno);
            continue;
        }
        const int flags = ::fcntl(socket.get(), F_GETFL);
        ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK);
        if (::connect(socket.get(), address->ai_addr, address->ai_addrlen) != 0 &&
            errno != EINPROGRESS) {
            last_error = system_error_text(errno);
            continue;
        }
        if (!wait_for(socket.get(), POLLOUT, timeout)) {
            last_error = "no connection within " + seconds_text(timeout);
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            last_error = system_error_text(error);
            continue;
        }
        ::fcntl(socket.get(), F_SETFL, flags);
        set_no_delay(socket.get());
        return socket;
    }
    throw Broken(last_error);
}

Descriptor listen_on(const Endpoint& endpoint) {
    addrinfo* found = nullptr;
    try {
        found = resolve(endpoint);
    } catch (const Broken& broken) {
        throw RuntimeFailure("Cannot listen on " + endpoint.text() + ": " + broken.what());
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (socket.get() < 0 || ::bind(socket.get(), addresses->ai_addr, addresses->ai_addrlen) != 0 ||
        ::listen(socket.get(), 16) != 0) {
        const int error = errno;
        if (error == EADDRINUSE) {
            throw RuntimeFailure("address " + endpoint.text() + " is in use");
        }
        throw RuntimeFailure("Cannot listen on " + endpoint.text() + ": " +
                             system_error_text(error));
    }
    return socket;
}

int bound_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::string numeric_address(const Endpoint& endpoint) {
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(resolve(endpoint),
                                                                   ::freeaddrinfo);
    std::array<char, INET_ADDRSTRLEN> text{};
    const auto* address = reinterpret_cast<const sockaddr_in*>(addresses->ai_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text.data(), text.size());
    return text.data();
}

}  // namespace kestrune::platform::tcp
