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
// A descriptor that turns readable when Ctrl-C is pressed, or -1 outside a catcher's life. The
// signal may be taken by any of the program's threads (llama.cpp's workers among them), so a
// wait for input watches this too instead of relying on its own wait being interrupted.
int interrupt_descriptor();
// Empties the descriptor above once its readiness has been seen.
void drain_interrupt_descriptor();
// Whether Ctrl-C was pressed, leaving the flag raised.
bool interrupt_pending();

}  // namespace kestrune::cli
