// Where the chat's lines come from: a terminal, with line editing and a history kept across
// sessions (libedit), or a pipe, read as it is. Both join a block between two """ lines into one
// message.
#pragma once

#include <termios.h>

#include <memory>
#include <optional>
#include <string>

namespace kestrune::cli {

struct InputLine {
    enum class Kind { Text, Interrupted, End };
    Kind kind = Kind::End;
    std::string text;
};

class LineInput {
  public:
    virtual ~LineInput() = default;
    // The next message: one line, or the lines of a """ block joined by line breaks.
    InputLine read_message();

  protected:
    LineInput() = default;
    // One raw line; `continued` asks for the prompt of a line inside a block.
    virtual InputLine read_line(bool continued) = 0;
};

// For its lifetime the terminal on standard input does not echo what is typed: text typed
// while an answer streams stays out of the answer and waits, still in the terminal's queue,
// for the next prompt, whose line editor shows it. Nothing happens when standard input is no
// terminal.
class TypingHeld {
  public:
    TypingHeld();
    ~TypingHeld();
    TypingHeld(const TypingHeld&) = delete;
    TypingHeld& operator=(const TypingHeld&) = delete;

  private:
    std::optional<termios> saved_;
};

// The whole of standard input when it is a pipe or a file (`echo text | kestrune run -p …`),
// its last line breaks cut; absent for a terminal or a device such as /dev/null.
std::optional<std::string> piped_input();

// Line editing on a terminal, history kept in ~/.cache/kestrune/chat_history; otherwise plain
// lines.
std::unique_ptr<LineInput> make_line_input(bool terminal);

}  // namespace kestrune::cli
