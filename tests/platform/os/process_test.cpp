#include "platform/os/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "support/temp_dir.hpp"

namespace {

namespace process = kestrune::platform::process;
using namespace std::chrono_literals;
using kestrune::testing::TempDir;

// Puts `dir` first on PATH for the test's lifetime.
class PathPrefix {
  public:
    explicit PathPrefix(const std::string& dir) : saved_(std::getenv("PATH")) {
        ::setenv("PATH", (dir + ":" + saved_).c_str(), 1);
    }
    ~PathPrefix() { ::setenv("PATH", saved_.c_str(), 1); }

  private:
    std::string saved_;
};

void write_script(const TempDir& dir, const std::string& name, const std::string& body) {
    const auto path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
}

// Running, not merely a zombie waiting for a parent that does not reap (such as PID 1 in a
// container).
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, command, state;
    return static_cast<bool>(stat >> pid_field >> command >> state) && state != "Z";
}

// Whether `condition` holds within `patience`, asked every few milliseconds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds patience = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Forks a process that starts `server` through the platform layer, hands back the server's
// pid and then waits to be killed. Returns {that process, the server}.
std::pair<pid_t, pid_t> parent_of_a_server(const std::string& server) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {-1, -1};
    }
    const pid_t parent = ::fork();
    if (parent == 0) {
        ::close(fds[0]);
        try {
            auto child = process::Child::start({server});
            const pid_t pid = child.pid();
            [[maybe_unused]] const auto written = ::write(fds[1], &pid, sizeof(pid));
            while (true) {
                ::pause();
            }
        } catch (...) {
            ::_exit(1);
        }
    }
    ::close(fds[1]);
    pid_t server_pid = -1;
    if (::read(fds[0], &server_pid, sizeof(server_pid)) != sizeof(server_pid)) {
        server_pid = -1;
    }
    ::close(fds[0]);
    return {parent, server_pid};
}

TEST(Process, RunCapturesBothOutputsAndTheExitStatus) {
    TempDir dir;
    write_script(dir, "fake-tool", "echo \"version 1.2\"\necho line2\necho oops >&2\nexit 3");
    PathPrefix path(dir.str());
    const auto result = process::run({"fake-tool", "--version"}, 5s);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.out, "version 1.2\nline2\n");
    EXPECT_EQ(result.err, "oops\n");
}

TEST(Process, ArgumentsReachTheProgramUnsplitAndUnexpanded) {
    TempDir dir;
    write_script(dir, "args", "for a in \"$@\"; do echo \"[$a]\"; done");
    PathPrefix path(dir.str());
    const auto result = process::run({"args", "two words", "$HOME", "*"}, 5s);
    EXPECT_EQ(result.out, "[two words]\n[$HOME]\n[*]\n");
}

TEST(Process, MissingProgramIsToldApart) {
    EXPECT_THROW(process::run({"kestrune-no-such-program"}, 1s), process::ProgramNotFound);
    EXPECT_THROW(process::Child::start({"kestrune-no-such-program"}), process::ProgramNotFound);
    EXPECT_THROW(process::run({"/nonexistent/kestrune-tool"}, 1s), process::ProgramNotFound);
}

TEST(Process, ProgramWithoutTheExecuteBitIsNotReportedAbsent) {
    TempDir dir;
    const auto path = dir.write("locked", "#!/bin/sh\necho ran\n");
    ::chmod(path.c_str(), 0644);
    PathPrefix on_path(dir.str());
    for (const auto& argv : {std::vector<std::string>{"locked"}, {path.string()}}) {
        try {
            process::run(argv, 5s);
            ADD_FAILURE() << argv[0] << " must not run";
        } catch (const process::ProgramNotFound& error) {
            ADD_FAILURE() << "reported absent: " << error.what();
        } catch (const kestrune::RuntimeFailure& error) {
            EXPECT_NE(std::string(error.what()).find("locked"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("ermission denied"), std::string::npos)
                << error.what();
        }
    }
    EXPECT_THROW(process::Child::start({"locked"}), kestrune::RuntimeFailure);

    // As the shell does, a later directory's executable of the same name is used instead.
    TempDir later;
    write_script(later, "locked", "echo later");
    PathPrefix both((dir.path().string() + ":" + later.str()));
    EXPECT_EQ(process::run({"locked"}, 5s).out, "later\n");
}

TEST(Process, TimeoutKillsTheProgramAndWhatItStarted) {
    TempDir dir;
    write_script(dir, "slow", "sleep 30 &\necho $! > " + dir.str() + "/grandchild\nsleep 30");
    PathPrefix path(dir.str());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(process::run({"slow"}, 300ms), process::ProcessTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    std::ifstream in(dir.path() / "grandchild");
    pid_t grandchild = 0;
    in >> grandchild;
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(eventually([&] { return !alive(grandchild); }));
}

TEST(Process, ChildRunsUntilTerminatedAndIsReaped) {
    TempDir dir;
    const auto written = dir.path() / "written";
    // More than a pipe holds, then a mark.
    write_script(dir, "server",
                 "trap 'exit 0' TERM\nhead -c 1048576 /dev/zero\ntouch '" + written.string() +
                     "'\nwhile true; do echo noise; sleep 0.05; done");
    PathPrefix path(dir.str());
    auto child = process::Child::start({"server"});
    const pid_t pid = child.pid();
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(written); }))
        << "discarded output must never block it";
    EXPECT_TRUE(child.running());
    child.terminate();
    EXPECT_FALSE(child.running());
    EXPECT_FALSE(alive(pid)) << "terminated and reaped, no zombie left";
}

TEST(Process, DestroyingAChildTerminatesIt) {
    TempDir dir;
    write_script(dir, "server", "sleep 30");
    PathPrefix path(dir.str());
    pid_t pid = 0;
    {
        auto child = process::Child::start({"server"});
        pid = child.pid();
        auto moved = std::move(child);
        EXPECT_FALSE(child.running());
        EXPECT_TRUE(moved.running());
    }
    EXPECT_FALSE(alive(pid));
}

TEST(Process, ChildServerDiesWithItsParentHoweverItEnds) {
    TempDir dir;
    write_script(dir, "server", "exec sleep 30");
    PathPrefix path(dir.str());
    for (const int signal : {SIGTERM, SIGKILL}) {
        const auto [parent, server] = parent_of_a_server("server");
        ASSERT_GT(parent, 0);
        ASSERT_GT(server, 0);
        ::kill(parent, signal);
        ::waitpid(parent, nullptr, 0);
        EXPECT_TRUE(eventually([&] { return !alive(server); }, 5s))
            << "the server outlived a parent ended by signal " << signal;
        if (alive(server)) {
            ::kill(server, SIGKILL);  // leaves nothing behind when the check failed
        }
    }
}

}  // namespace
