#include "support/terminal.hpp"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace kestrune::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left_until(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

}  // namespace

TerminalSession::TerminalSession(const std::vector<std::string>& argv) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (pid_ == 0) {
        ::setenv("TERM", "xterm", 1);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

TerminalSession::~TerminalSession() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
}

void TerminalSession::type(std::string_view keys) {
    while (!keys.empty()) {
        const ssize_t written = ::write(master_, keys.data(), keys.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            throw std::runtime_error("cannot write to the terminal");
        }
        keys.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool TerminalSession::read_some(std::chrono::milliseconds timeout) {
    pollfd ready{.fd = master_, .events = POLLIN, .revents = 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    if (polled <= 0) {
        return polled == 0 || errno == EINTR;
    }
    char buffer[4096];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got <= 0) {
        return false;  // EIO: the program closed the terminal
    }
    output_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool TerminalSession::wait_for(std::string_view text, std::chrono::milliseconds deadline) {
    const Clock::time_point until = Clock::now() + deadline;
    while (true) {
        if (const auto at = output_.find(text, seen_); at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        if (Clock::now() >= until || !read_some(left_until(until))) {
            return false;
        }
    }
}

bool TerminalSession::wait_for_key_reading(std::chrono::milliseconds deadline) {
    const Clock::time_point until = Clock::now() + deadline;
    while (true) {
        // On Linux the master side reports the modes the program set on its side.
        termios modes{};
        if (::tcgetattr(master_, &modes) == 0 && (modes.c_lflag & ICANON) == 0) {
            return true;
        }
        if (Clock::now() >= until ||
            !read_some(std::min(left_until(until), std::chrono::milliseconds(5)))) {
            return false;
        }
    }
}

bool TerminalSession::wait_for_more(std::chrono::milliseconds deadline) {
    const Clock::time_point until = Clock::now() + deadline;
    while (output_.size() == seen_) {
        if (Clock::now() >= until || !read_some(left_until(until))) {
            return false;
        }
    }
    return true;
}

std::optional<int> TerminalSession::wait_exit(std::chrono::milliseconds deadline) {
    const Clock::time_point until = Clock::now() + deadline;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= until) {
            return std::nullopt;
        }
        // Draining the terminal keeps the program from blocking on a full buffer.
        read_some(std::min(left_until(until), std::chrono::milliseconds(50)));
    }
    return status_;
}

std::string stderr_on_a_terminal(const std::function<void()>& work) {
    int terminal = -1;
    int screen = -1;
    if (::openpty(&terminal, &screen, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    const int saved_stderr = ::dup(STDERR_FILENO);
    ::dup2(screen, STDERR_FILENO);
    try {
        work();
    } catch (...) {
        ::dup2(saved_stderr, STDERR_FILENO);
        throw;
    }
    ::dup2(saved_stderr, STDERR_FILENO);
    ::close(saved_stderr);
    ::close(screen);
    std::string shown(65536, '\0');
    const ssize_t got = ::read(terminal, shown.data(), shown.size());
    ::close(terminal);
    shown.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return shown;
}

}  // namespace kestrune::testing
