// Lets a loopback server's handler wait for the test. Waits are bounded so a failing test
// cannot hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrune::testing {

class Gate {
  public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Declared after the server, so the gate opens before the server waits for its handlers.
struct OpenOnExit {
    Gate& gate;
    ~OpenOnExit() { gate.open(); }
};

}  // namespace kestrune::testing
