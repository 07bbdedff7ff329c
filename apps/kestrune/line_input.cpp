#include "line_input.hpp"

// libedit's readline-compatible interface (BSD licence); its header needs <cstdio> first.
#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "interrupt.hpp"

namespace kestrune::cli {

namespace {

constexpr std::string_view kBlockQuote = R"(""")";

std::string without_closing_quote(const std::string& line) {
    return line.substr(0, line.size() - kBlockQuote.size());
}

class TerminalInput final : public LineInput {
  private:
    InputLine read_line(bool continued) override {
        take_interrupt();
        char* raw = ::readline(continued ? "... " : ">>> ");
        if (raw == nullptr) {
            // readline gives up the line on Ctrl-C as it does at the end of input.
            return {take_interrupt() ? InputLine::Kind::Interrupted : InputLine::Kind::End, ""};
        }
        std::string line(raw);
        std::free(raw);  // NOLINT(cppcoreguidelines-no-malloc): readline's own allocation
        if (!line.empty()) {
            ::add_history(line.c_str());
        }
        return {InputLine::Kind::Text, line};
    }
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

std::unique_ptr<LineInput> make_line_input(bool terminal) {
    if (terminal) {
        return std::make_unique<TerminalInput>();
    }
    return std::make_unique<PipeInput>();
}

}  // namespace kestrune::cli
