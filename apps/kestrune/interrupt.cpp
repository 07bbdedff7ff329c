#include "interrupt.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kestrune::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;
struct sigaction previous {};
int wakeup_pipe[2] = {-1, -1};  // read end, write end: a pipe that never blocks

extern "C" void raise_flag(int /*signal*/) {
    const int saved_errno = errno;
    interrupted = 1;  // raised before the wake-up, so a woken reader always finds it
    if (wakeup_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeup_pipe[1], &byte, 1);
    }
    errno = saved_errno;
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
    if (::pipe2(wakeup_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        wakeup_pipe[0] = wakeup_pipe[1] = -1;  // readers then rely on their wait being interrupted
    }
    struct sigaction action {};
    action.sa_handler = raise_flag;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &previous);
}

InterruptCatcher::~InterruptCatcher() {
    sigaction(SIGINT, &previous, nullptr);
    for (int& end : wakeup_pipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

bool take_interrupt() {
    const bool was = interrupted != 0;
    interrupted = 0;
    return was;
}

bool interrupt_pending() {
    return interrupted != 0;
}

int interrupt_descriptor() {
    return wakeup_pipe[0];
}

void drain_interrupt_descriptor() {
    char bytes[64];
    while (wakeup_pipe[0] >= 0 && ::read(wakeup_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace kestrune::cli
