#include "support/deadline.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <stdexcept>

namespace kestrune::testing {

namespace {

void write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put <= 0) {
            return;
        }
        done += static_cast<std::size_t>(put);
    }
}

// Everything the child writes until it closes its end, or absent at the deadline.
std::optional<std::string> read_until(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wanted{.fd = fd, .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || ::poll(&wanted, 1, static_cast<int>(left.count())) == 0) {
            return std::nullopt;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::optional<std::string> run_before_deadline(const std::function<std::string()>& work,
                                               std::chrono::seconds deadline) {
    int ends[2];
    if (::pipe(ends) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        ::close(ends[0]);
        try {
            write_all(ends[1], work());
        } catch (const std::exception& failure) {
            write_all(ends[1], std::string("exception: ") + failure.what());
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    auto text = read_until(ends[0], std::chrono::steady_clock::now() + deadline);
    ::close(ends[0]);
    int status = 0;
    if (!text) {
        ::kill(child, SIGKILL);
    }
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace kestrune::testing
