#include "platform/os/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/os/descriptor.hpp"

extern char** environ;

namespace kestrune::platform::process {

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    Descriptor read;
    Descriptor write;
};

Pipe make_pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw RuntimeFailure(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    return {Descriptor(fds[0]), Descriptor(fds[1])};
}

// Where the child's standard input, output and error go.
struct Stdio {
    int in;
    int out;
    int err;
};

Descriptor open_null() {
    Descriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null.get() < 0) {
        throw RuntimeFailure(std::string("cannot open /dev/null: ") + std::strerror(errno));
    }
    return null;
}

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file to execute for `program`: as given when it holds a "/", else the first executable
// regular file of that name in a PATH directory. Searched here rather than by execvp so that
// a program that is there but may not be run is told apart from one that is absent.
std::string find_program(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::optional<std::string> not_executable;
    while (true) {
        const auto colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        const std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + program;
        if (is_regular_file(candidate)) {
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            if (!not_executable) {
                not_executable = candidate;
            }
        }
        if (colon == std::string_view::npos) {
            break;
        }
        dirs.remove_prefix(colon + 1);
    }
    if (not_executable) {
        throw RuntimeFailure("cannot run " + program + ": " + *not_executable +
                             " is not executable (permission denied)");
    }
    throw ProgramNotFound("program not found: " + program);
}

// Runs in the child between fork and exec, so it makes system calls only. Sends `errno` down
// `error_fd` when it cannot exec.
[[noreturn]] void exec_child(const char* file, char* const* argv, const Stdio& stdio, pid_t parent,
                             int error_fd) {
    ::setpgid(0, 0);
    // A server outliving its parent would keep its port and its memory. The signal comes when
    // the thread that forked ends, however it ends; a parent already gone before the request
    // took effect would never send it.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
    if (::dup2(stdio.in, 0) >= 0 && ::dup2(stdio.out, 1) >= 0 && ::dup2(stdio.err, 2) >= 0) {
        ::execve(file, argv, environ);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(error_fd, &error, sizeof(error));
    ::_exit(127);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : status;
}

// Starts the program in a process group of its own, so a time-out or terminate reaches the
// children it started too.
pid_t spawn(const std::vector<std::string>& argv, const Stdio& stdio) {
    if (argv.empty() || argv.front().empty()) {
        throw ProgramNotFound("no program given");
    }
    const std::string file = find_program(argv.front());
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    Pipe exec_error = make_pipe();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw RuntimeFailure("cannot start " + argv.front() + ": " + std::strerror(errno));
    }
    if (pid == 0) {
        exec_child(file.c_str(), args.data(), stdio, parent, exec_error.write.get());
    }
    // Set on both sides, so the group exists whichever side runs first.
    ::setpgid(pid, pid);
    exec_error.write.reset();
    int error = 0;
    ssize_t n = 0;
    while ((n = ::read(exec_error.read.get(), &error, sizeof(error))) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
        return pid;  // the pipe closed on exec
    }
    wait_for(pid);
    if (error == ENOENT || error == ENOTDIR) {
        throw ProgramNotFound("program not found: " + argv.front());
    }
    throw RuntimeFailure("cannot start " + argv.front() + ": " + std::strerror(error));
}

// Reads both pipes until they close or the deadline passes; false on time-out.
bool drain(Descriptor& out, Descriptor& err, std::string& out_text, std::string& err_text,
           Clock::time_point deadline) {
    std::array<char, 65536> buffer{};
    while (out.get() >= 0 || err.get() >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        std::array<pollfd, 2> fds{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            Descriptor& fd = i == 0 ? out : err;
            std::string& text = i == 0 ? out_text : err_text;
            const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
            if (n > 0) {
                text.append(buffer.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fd.reset();
            }
        }
    }
    return true;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Pipe out = make_pipe();
    Pipe err = make_pipe();
    const Descriptor null = open_null();
    const pid_t pid = spawn(argv, {null.get(), out.write.get(), err.write.get()});
    out.write.reset();
    err.write.reset();

    RunResult result;
    if (!drain(out.read, err.read, result.out, result.err, deadline)) {
        ::kill(-pid, SIGKILL);
        wait_for(pid);
        throw ProcessTimeout(argv.front() + " did not finish within " +
                             std::to_string(timeout.count() / 1000.0) + " s");
    }
    result.exit_code = wait_for(pid);
    return result;
}

Child Child::start(const std::vector<std::string>& argv) {
    const Descriptor null = open_null();
    return Child(spawn(argv, {null.get(), null.get(), null.get()}));
}

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        terminate();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

Child::~Child() {
    terminate();
}

bool Child::running() {
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::terminate() {
    if (!running()) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            wait_for(pid_);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

}  // namespace kestrune::platform::process
