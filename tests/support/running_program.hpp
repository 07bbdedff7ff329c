// A program started for a test, its standard output and error read through pipes; killed
// (SIGKILL) when the object goes away unless it was stopped before.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrune::testing {

class RunningProgram {
  public:
    // argv[0] is the program's path.
    explicit RunningProgram(std::vector<std::string> argv);
    ~RunningProgram();
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&&) = delete;
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    // The next line on standard output, waiting up to a minute for it.
    std::string next_line();
    // Sends `signal` and returns the exit status (-1 when it did not end normally).
    int stop_with(int signal);
    // Standard error until it closes: call after the program ended.
    std::string standard_error();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

}  // namespace kestrune::testing
