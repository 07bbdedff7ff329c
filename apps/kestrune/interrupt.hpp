// Ctrl-C in an interactive chat: it stops the answer being written, or tells the line editor
// to give up the line, instead of ending the program.
#pragma once

namespace kestrune::cli {

// While alive, SIGINT only raises a flag. The handler is installed without SA_RESTART, so a
// blocking read returns early and the reader can look at the flag.
class InterruptCatcher {
  public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// Whether Ctrl-C was pressed since the last call (which lowers the flag).
bool take_interrupt();
// Whether Ctrl-C was pressed, leaving the flag raised.
bool interrupt_pending();

}  // namespace kestrune::cli
