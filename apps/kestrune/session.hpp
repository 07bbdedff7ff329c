// A chat with a loaded backend: one answer to -p, or an interactive conversation that keeps
// its history (so the native backend reuses its prompt cache from turn to turn).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "args.hpp"
#include "kestrune/backends/base.hpp"

namespace kestrune::cli {

struct SessionOptions {
    std::string backend = "native";
    std::optional<std::string> prompt;
    std::optional<int> context;
    backends::GenerationConfig config;
    bool stream = true;
    bool verbose = false;
};

SessionOptions session_options(const Args& args);

// The adapter named by --backend; `host` absent keeps the adapter's default address.
std::unique_ptr<backends::BackendAdapter> make_backend(const std::string& name,
                                                       const std::optional<std::string>& host,
                                                       const std::string& api_key);

// How a streamed reply is produced (plain streaming, or speculative with a draft model).
using StreamReply =
    std::function<TextStream(const Messages& messages, const backends::GenerationConfig& config)>;

void chat_session(backends::BackendAdapter& backend, const StreamReply& stream_reply,
                  const SessionOptions& options);

}  // namespace kestrune::cli
