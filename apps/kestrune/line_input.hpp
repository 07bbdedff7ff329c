// Where the chat's lines come from: a terminal, with line editing and history (libedit), or
// a pipe, read as it is. Both join a block between two """ lines into one message.
#pragma once

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

// The whole of standard input when it is a pipe or a file (`echo text | kestrune run -p …`),
// its last line breaks cut; absent for a terminal or a device such as /dev/null.
std::optional<std::string> piped_input();

// Line editing on a terminal, history kept for the session; otherwise plain lines.
std::unique_ptr<LineInput> make_line_input(bool terminal);

}  // namespace kestrune::cli
