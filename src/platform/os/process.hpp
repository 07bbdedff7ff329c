// Child processes: run a program to completion, or start a long-running one and stop it.
// Programs are found on PATH and started with an argument vector, never through a shell.
// Every child is sent SIGTERM when the thread that started it ends (the whole program dying,
// even by SIGKILL, included), so start children from a thread that lives as long as they
// should.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::process {

// No file of the name argv[0] gives is on PATH. A file that is there but may not be executed
// is a RuntimeFailure instead.
class ProgramNotFound : public MissingComponentError {
  public:
    using MissingComponentError::MissingComponentError;
};

// The program ran past its time-out and was killed.
class ProcessTimeout : public RuntimeFailure {
  public:
    using RuntimeFailure::RuntimeFailure;
};

struct RunResult {
    int exit_code = 0;  // the exit status; 128 + signal number when a signal ended it
    std::string out;    // everything written to standard output
    std::string err;    // everything written to standard error
};

// Runs the program to completion with both outputs captured and standard input empty.
// Throws ProgramNotFound, or ProcessTimeout after killing the child when `timeout` expires.
RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// A long-running child whose output is discarded, so it never blocks on a full pipe.
// Destroying it terminates the child (SIGTERM) and reaps it.
class Child {
  public:
    // Throws ProgramNotFound when the program is not on PATH, RuntimeFailure when it cannot be
    // started.
    static Child start(const std::vector<std::string>& argv);

    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    bool running();
    // Sends SIGTERM and waits for the child to end (SIGKILL if it ignores the request).
    void terminate();

  private:
    explicit Child(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

}  // namespace kestrune::platform::process
