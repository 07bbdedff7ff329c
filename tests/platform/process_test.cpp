#include "platform/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(alive(grandchild));
}

TEST(Process, ChildRunsUntilTerminatedAndIsReaped) {
    TempDir dir;
    write_script(dir, "server", "trap 'exit 0' TERM\nwhile true; do echo noise; sleep 0.05; done");
    PathPrefix path(dir.str());
    auto child = process::Child::start({"server"});
    const pid_t pid = child.pid();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(child.running()) << "discarded output must never block it";
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

}  // namespace
