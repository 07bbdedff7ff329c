// A program run on a pseudo-terminal, as a person at a terminal runs it: keys go in, what it
// draws comes out. Waits poll against a deadline; nothing sleeps and hopes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

class TerminalSession {
  public:
    // Starts argv[0] (a path) on a new 80x24 UTF-8 terminal with TERM=xterm.
    explicit TerminalSession(const std::vector<std::string>& argv);
    ~TerminalSession();
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    // Sends keys as typed: "\r" is Enter, "\x03" Ctrl-C, "\x04" Ctrl-D, "\x1b[A" up.
    void type(std::string_view keys);
    // Waits until `text` appears in the output after the previous match; true when it did.
    bool wait_for(std::string_view text,
                  std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // Waits until the program reads keys one by one (a line editor has taken the terminal out
    // of line mode): keys typed before that are echoed and buffered by the terminal itself.
    bool wait_for_key_reading(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Waits until the program writes anything after the previous match.
    bool wait_for_more(std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // Everything the program has written so far.
    const std::string& output() const { return output_; }
    // What it wrote after the previous match.
    std::string unseen() const { return output_.substr(seen_); }
    // Waits for the program to end: its exit status, or nothing at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline = std::chrono::seconds(30));

  private:
    // Reads what is there within `timeout`; false once the terminal is closed.
    bool read_some(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int master_ = -1;
    std::string output_;
    std::size_t seen_ = 0;
    std::optional<int> status_;
};

// What `work` writes on standard error while standard error is a terminal.
std::string stderr_on_a_terminal(const std::function<void()>& work);

}  // namespace kestrune::testing
