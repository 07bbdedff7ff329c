// A POST whose answer is read as it arrives, on a thread of its own, so that a test waits for
// the moment a server has taken the request (its headers came) or streams (its first bytes
// came) instead of guessing how long that takes.
#pragma once

#include <future>
#include <mutex>
#include <string>

#include "support/gate.hpp"

namespace kestrune::testing {

class StreamedPost {
  public:
    struct Answer {
        int status = 0;  // 0 when the exchange failed
        std::string body;
    };

    // Posts `body` as JSON to 127.0.0.1:`port` at `path`.
    StreamedPost(int port, std::string path, std::string body);
    ~StreamedPost();
    StreamedPost(const StreamedPost&) = delete;
    StreamedPost& operator=(const StreamedPost&) = delete;

    // Each waits a bounded time (the gate's) and tells whether it happened.
    bool wait_for_headers() { return headers_.wait(); }
    bool wait_for_body() { return body_started_.wait(); }
    // The whole answer, once it ends.
    Answer finish();

  private:
    Gate headers_;
    Gate body_started_;
    std::mutex mutex_;
    std::string body_;
    std::future<int> status_;
};

}  // namespace kestrune::testing
