#include "line_input.hpp"

// libedit's readline-compatible interface (BSD licence).
#include <editline/readline.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "interrupt.hpp"

namespace kestrune::cli {

namespace {

constexpr std::string_view kBlockQuote = R"(""")";

std::string without_closing_quote(const std::string& line) {
    return line.substr(0, line.size() - kBlockQuote.size());
}

// The terminal is read through a descriptor of its own that never blocks: Ctrl-C empties the
// terminal's input queue, so bytes pselect saw may be gone by the read, and a blocking read
// would then wait for the next key with SIGINT held.
int keys = STDIN_FILENO;

// One byte of the terminal, or EOF at its end or on Ctrl-C. SIGINT stays blocked in this
// thread except inside pselect, so a Ctrl-C pressed before the wait begins is not lost until
// the next key; a Ctrl-C taken by another thread wakes the wait through the interrupt
// descriptor.
int read_byte(int fd) {
    sigset_t waiting;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
    ::sigdelset(&waiting, SIGINT);
    const int wakeup = interrupt_descriptor();
    while (!interrupt_pending()) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(fd, &ready);
        if (wakeup >= 0) {
            FD_SET(wakeup, &ready);
        }
        if (::pselect(std::max(fd, wakeup) + 1, &ready, nullptr, nullptr, nullptr, &waiting) < 0) {
            if (errno == EINTR) {
                continue;  // Ctrl-C is seen above; other signals (a resize) just wait again
            }
            return EOF;
        }
        if (wakeup >= 0 && FD_ISSET(wakeup, &ready)) {
            drain_interrupt_descriptor();
            continue;  // the flag was raised before the wake-up: the loop's test sees it
        }
        unsigned char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            return EOF;
        }
    }
    return EOF;
}

// libedit's key reader: one character, a UTF-8 sequence decoded to its code point.
int read_key(FILE* /*in*/) {
    const int fd = keys;
    const int lead = read_byte(fd);
    if (lead < 0xC0) {
        return lead;  // EOF, ASCII, or a stray continuation byte passed on as it is
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    int code = lead & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        const int next = read_byte(fd);
        if (next == EOF) {
            return EOF;
        }
        code = (code << 6) | (next & 0x3F);
    }
    return code;
}

// For its lifetime SIGINT waits (pending) until read_byte lets it in.
class SigintHeld {
  public:
    SigintHeld() {
        sigset_t sigint;
        ::sigemptyset(&sigint);
        ::sigaddset(&sigint, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &sigint, &saved_);
    }
    ~SigintHeld() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SigintHeld(const SigintHeld&) = delete;
    SigintHeld& operator=(const SigintHeld&) = delete;

  private:
    sigset_t saved_{};
};

// A second, non-blocking descriptor of the terminal on standard input; its flags are its own,
// so the shell's descriptor is left as it was.
int open_without_blocking() {
    const char* name = ::ttyname(STDIN_FILENO);
    const int fd =
        name == nullptr ? -1 : ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? STDIN_FILENO : fd;
}

// The chat's history across sessions, in Kestrune's cache folder as line editors keep theirs.
std::string history_file() {
    const char* home = std::getenv("HOME");
    return home == nullptr ? std::string() : std::string(home) + "/.cache/kestrune/chat_history";
}

constexpr int kHistoryLines = 1000;

class TerminalInput final : public LineInput {
  public:
    TerminalInput() : history_(history_file()) {
        // libedit edits characters of the terminal's encoding only once the locale says which.
        std::setlocale(LC_CTYPE, "");
        keys = open_without_blocking();
        rl_getc_function = read_key;
        ::stifle_history(kHistoryLines);
        if (!history_.empty()) {
            ::read_history(history_.c_str());
        }
    }
    ~TerminalInput() override {
        if (keys != STDIN_FILENO) {
            ::close(keys);
            keys = STDIN_FILENO;
        }
    }
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

  private:
    InputLine read_line(bool continued) override {
        take_interrupt();
        char* raw = nullptr;
        {
            const SigintHeld held;
            raw = ::readline(continued ? "... " : ">>> ");
        }
        if (raw == nullptr) {
            // The line ends without text at the end of input and on Ctrl-C alike.
            if (take_interrupt()) {
                return {InputLine::Kind::Interrupted, ""};
            }
            std::cerr << std::endl;  // Ctrl-D: the shell's prompt starts on a line of its own
            return {InputLine::Kind::End, ""};
        }
        std::string line(raw);
        std::free(raw);  // readline's own allocation
        if (!line.empty()) {
            ::add_history(line.c_str());
            remember_history();
        }
        return {InputLine::Kind::Text, line};
    }

    // Written whole after each line (a thousand lines at most), so a chat that is killed
    // keeps what was typed.
    void remember_history() const {
        if (history_.empty()) {
            return;
        }
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(history_).parent_path(), ignored);
        ::write_history(history_.c_str());
    }

    std::string history_;
};

class PipeInput final : public LineInput {
  private:
    InputLine read_line(bool /*continued*/) override {
        std::string line;
        if (!std::getline(std::cin, line)) {
            return {InputLine::Kind::End, ""};
        }
        return {InputLine::Kind::Text, line};
    }
};

}  // namespace

InputLine LineInput::read_message() {
    InputLine first = read_line(false);
    if (first.kind != InputLine::Kind::Text || !first.text.starts_with(kBlockQuote)) {
        return first;
    }
    // """ opens a block that ends at a line ending with """ (the same line, too).
    const std::string opening = first.text.substr(kBlockQuote.size());
    if (opening.ends_with(kBlockQuote)) {
        return {InputLine::Kind::Text, without_closing_quote(opening)};
    }
    std::string text = opening;
    bool empty = opening.empty();
    while (true) {
        InputLine next = read_line(true);
        if (next.kind != InputLine::Kind::Text) {
            return next;
        }
        const bool closing = next.text.ends_with(kBlockQuote);
        const std::string line = closing ? without_closing_quote(next.text) : next.text;
        if (!(closing && line.empty())) {
            text += (empty ? "" : "\n") + line;
            empty = false;
        }
        if (closing) {
            return {InputLine::Kind::Text, text};
        }
    }
}

TypingHeld::TypingHeld() {
    termios settings{};
    if (::tcgetattr(STDIN_FILENO, &settings) != 0) {
        return;
    }
    saved_ = settings;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

TypingHeld::~TypingHeld() {
    if (saved_) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &*saved_);
    }
}

std::optional<std::string> piped_input() {
    struct stat input {};
    if (::fstat(STDIN_FILENO, &input) != 0 ||
        !(S_ISFIFO(input.st_mode) || S_ISREG(input.st_mode))) {
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(std::cin), {}};
    while (text.ends_with('\n') || text.ends_with('\r')) {
        text.pop_back();
    }
    return text;
}

std::unique_ptr<LineInput> make_line_input(bool terminal) {
    if (terminal) {
        return std::make_unique<TerminalInput>();
    }
    return std::make_unique<PipeInput>();
}

}  // namespace kestrune::cli
