#include "interrupt.hpp"

#include <csignal>

namespace kestrune::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;
struct sigaction previous {};

extern "C" void raise_flag(int /*signal*/) {
    interrupted = 1;
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
    struct sigaction action {};
    action.sa_handler = raise_flag;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &previous);
}

InterruptCatcher::~InterruptCatcher() {
    sigaction(SIGINT, &previous, nullptr);
}

bool take_interrupt() {
    const bool was = interrupted != 0;
    interrupted = 0;
    return was;
}

bool interrupt_pending() {
    return interrupted != 0;
}

}  // namespace kestrune::cli
