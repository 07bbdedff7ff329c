#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace kestrune::platform::process {

namespace {

using Clock = std::chrono::steady_clock;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

Pipe make_pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw RuntimeFailure(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    return {Fd(fds[0]), Fd(fds[1])};
}

class SpawnActions {
  public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    void open_null(int target) {
        posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                         target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    void dup_to(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Starts the program in a process group of its own, so a time-out or terminate reaches the
// children it started too.
pid_t spawn(const std::vector<std::string>& argv, const SpawnActions& actions) {
    if (argv.empty() || argv.front().empty()) {
        throw ProgramNotFound("no program given");
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int status =
        ::posix_spawnp(&pid, args.front(), actions.get(), &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (status == ENOENT || status == EACCES || status == ENOTDIR) {
        throw ProgramNotFound("program not found: " + argv.front());
    }
    if (status != 0) {
        throw RuntimeFailure("cannot start " + argv.front() + ": " + std::strerror(status));
    }
    return pid;
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

// Reads both pipes until they close or the deadline passes; false on time-out.
bool drain(Fd& out, Fd& err, std::string& out_text, std::string& err_text,
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
            Fd& fd = i == 0 ? out : err;
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
    SpawnActions actions;
    actions.open_null(0);
    actions.dup_to(out.write.get(), 1);
    actions.dup_to(err.write.get(), 2);
    const pid_t pid = spawn(argv, actions);
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
    SpawnActions actions;
    actions.open_null(0);
    actions.open_null(1);
    actions.open_null(2);
    return Child(spawn(argv, actions));
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
