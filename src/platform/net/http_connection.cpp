#include "platform/net/http_connection.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace kestrune::platform::http_server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Whether `socket` is ready for `events` within `timeout`.
bool ready(int socket, short events, milliseconds timeout) {
    pollfd waiting{.fd = socket, .events = events, .revents = 0};
    int result = 0;
    do {
        result = ::poll(&waiting, 1, static_cast<int>(std::max<long long>(timeout.count(), 0)));
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

// A connection's socket. Reads are buffered (the library reads a head byte by byte) and, until
// the head has been read, bounded by its deadline as well as by the time-out per read.
class SocketStream : public httplib::Stream {
  public:
    SocketStream(int socket, milliseconds read_timeout, milliseconds write_timeout,
                 Clock::time_point head_deadline)
        : socket_(socket),
          read_timeout_(read_timeout),
          write_timeout_(write_timeout),
          head_deadline_(head_deadline) {}

    void head_read() { head_read_ = true; }

    bool is_readable() const override {
        return buffered_ < filled_ || ready(socket_, POLLIN, read_wait());
    }
    bool is_writable() const override {
        if (!ready(socket_, POLLOUT, write_timeout_)) {
            return false;
        }
        // Still there: a closed peer reads as the end of the stream.
        char byte = 0;
        return !ready(socket_, POLLIN, milliseconds(0)) ||
               ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
    }
    ssize_t read(char* data, std::size_t size) override {
        if (buffered_ == filled_) {
            if (!ready(socket_, POLLIN, read_wait())) {
                return -1;
            }
            const ssize_t got = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
            if (got <= 0) {
                return got;
            }
            buffered_ = 0;
            filled_ = static_cast<std::size_t>(got);
        }
        const std::size_t taken = std::min(size, filled_ - buffered_);
        std::memcpy(data, buffer_.data() + buffered_, taken);
        buffered_ += taken;
        return static_cast<ssize_t>(taken);
    }
    ssize_t write(const char* data, std::size_t size) override {
        if (!ready(socket_, POLLOUT, write_timeout_)) {
            return -1;
        }
        return ::send(socket_, data, size, MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address_of(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address_of(::getsockname, ip, port);
    }
    socket_t socket() const override { return socket_; }

  private:
    milliseconds read_wait() const {
        if (head_read_) {
            return read_timeout_;
        }
        return std::min(read_timeout_,
                        std::chrono::duration_cast<milliseconds>(head_deadline_ - Clock::now()));
    }

    template <typename Lookup>
    void address_of(Lookup lookup, std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        std::array<char, NI_MAXHOST> host{};
        if (lookup(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host.data(), host.size(),
                          nullptr, 0, NI_NUMERICHOST) == 0) {
            ip = host.data();
            port = address.ss_family == AF_INET6
                       ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                       : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        }
    }

    int socket_;
    milliseconds read_timeout_;
    milliseconds write_timeout_;
    Clock::time_point head_deadline_;
    bool head_read_ = false;
    std::array<char, 4096> buffer_{};
    std::size_t buffered_ = 0;  // of the buffer, the bytes already read
    std::size_t filled_ = 0;
};

// Requests taken from memory, answers written to memory.
class MemoryStream : public httplib::Stream {
  public:
    explicit MemoryStream(std::string_view input) : input_(input) {}

    bool is_readable() const override { return !input_.empty(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* data, std::size_t size) override {
        const std::size_t taken = std::min(size, input_.size());
        std::memcpy(data, input_.data(), taken);
        input_.remove_prefix(taken);
        return static_cast<ssize_t>(taken);
    }
    ssize_t write(const char* data, std::size_t size) override {
        output_.append(data, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 0;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

    bool exhausted() const { return input_.empty(); }
    const std::string& output() const { return output_; }

  private:
    std::string_view input_;
    std::string output_;
};

milliseconds as_duration(time_t seconds, time_t micros) {
    return milliseconds(seconds * 1000 + micros / 1000);
}

}  // namespace

bool ConnectionServer::next_request_begins(socket_t socket) const {
    const auto idle_until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    // In slices, so that a server stopping does not wait out every idle connection.
    constexpr milliseconds kSlice{100};
    while (svr_sock_ != INVALID_SOCKET) {
        if (ready(socket, POLLIN, kSlice)) {
            return true;
        }
        if (Clock::now() > idle_until) {
            return false;
        }
    }
    return false;
}

bool ConnectionServer::process_and_close_socket(socket_t socket) {
    bool served = false;
    for (std::size_t left = keep_alive_max_count_; left > 0 && next_request_begins(socket);
         --left) {
        SocketStream stream(socket, as_duration(read_timeout_sec_, read_timeout_usec_),
                            as_duration(write_timeout_sec_, write_timeout_usec_),
                            Clock::now() + head_timeout_);
        bool closed = false;
        served = process_request(stream, left == 1, closed,
                                 [&stream](httplib::Request&) { stream.head_read(); });
        if (!served || closed) {
            break;
        }
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    return served;
}

std::string ConnectionServer::answer_bytes(std::string_view raw) {
    MemoryStream stream(raw);
    for (std::size_t left = keep_alive_max_count_; left > 0 && !stream.exhausted(); --left) {
        bool closed = false;
        if (!process_request(stream, left == 1, closed, nullptr) || closed) {
            break;
        }
    }
    return stream.output();
}

}  // namespace kestrune::platform::http_server
