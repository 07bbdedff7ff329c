// A relay on loopback between llama.cpp's RPC client and a worker, reading the protocol's
// messages. The library's client aborts the whole process when a worker stops answering; when
// the worker fails, the relay answers in its place with well-formed empty replies, so the
// library never sees a broken connection, and remembers why: the caller checks failure() after
// each computation and ends the work with that message.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/llama/rpc_protocol.hpp"
#include "platform/os/tcp.hpp"

namespace kestrune::platform::rpc {

// How long a worker may take to answer one request before it is given up.
inline constexpr std::chrono::seconds kAnswerTimeout{120};

struct RelayOptions {
    std::string listen_host = "127.0.0.1";
    int listen_port = 0;  // 0: any free port
    std::chrono::milliseconds answer_timeout = kAnswerTimeout;
    // The free and total memory reported for each device are capped at this many bytes.
    std::optional<std::uint64_t> memory_cap = std::nullopt;
    // When the worker fails: true gives it up for good and answers in its place (the library's
    // client must not see a broken connection); false closes that one connection (a worker's
    // own front, whose clients are on other machines).
    bool stand_in = true;
};

// Listens on `options.listen_host`, and relays each connection to `worker` message by message.
class Relay {
  public:
    // Throws RuntimeFailure when it cannot listen.
    Relay(Endpoint worker, RelayOptions options = {});
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Where it listens, as "host:port".
    std::string endpoint() const;
    // Why the worker was given up ("RPC worker HOST:PORT ..."); empty while it works.
    std::optional<std::string> failure() const;

  private:
    struct Connection;
    void accept_connections();
    void serve(std::shared_ptr<Connection> connection);
    void forget_finished_connections();
    void give_up(const std::string& why);
    bool failed() const { return failed_.load(); }

    Endpoint worker_;
    RelayOptions options_;
    Descriptor listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;
    std::string failure_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::thread acceptor_;
};

}  // namespace kestrune::platform::rpc
