#include "support/running_program.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace kestrune::testing {

RunningProgram::RunningProgram(std::vector<std::string> argv) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> arguments;
        for (auto& argument : argv) {
            arguments.push_back(argument.data());
        }
        arguments.push_back(nullptr);
        ::execv(arguments[0], arguments.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)) {}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        ::close(out_);
        ::close(err_);
    }
}

std::string RunningProgram::next_line() {
    std::string line;
    char c = 0;
    pollfd waiting{out_, POLLIN, 0};
    while (::poll(&waiting, 1, 60000) > 0 && ::read(out_, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

int RunningProgram::stop_with(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunningProgram::standard_error() {
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(err_, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace kestrune::testing
