// A chat with a loaded backend: one answer to -p, or a conversation read from standard input
// (line editing on a terminal) that keeps its history, so the native backend reuses its
// prompt cache from turn to turn. Answers go to standard output and nothing else does.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kestrune/backends/base.hpp"
#include "kestrune/backends/native.hpp"
#include "tool_loop.hpp"

namespace kestrune::cli {

struct SessionOptions {
    std::optional<std::string> prompt;
    std::optional<std::string> system;
    backends::GenerationConfig config;
    bool stream = true;
    bool verbose = false;
    // Tools offered to an in-process model (config.tools holds their specs): its answers are
    // then read whole, its tool calls run between them (answer_with_tools).
    std::shared_ptr<ToolBox> tools;
};

// How a streamed reply is produced (plain streaming, or speculative with a draft model).
using StreamReply =
    std::function<TextStream(const Messages& messages, const backends::GenerationConfig& config)>;

struct ChatModel {
    backends::BackendAdapter* backend = nullptr;
    StreamReply stream_reply;
    // The model when it runs in-process: its context is ours to fit the conversation into,
    // and it reports token figures. Null for servers, which keep their own context.
    backends::NativeBackend* native = nullptr;
};

// The names --backend takes, as make_backend knows them.
inline constexpr std::array<const char*, 6> kBackendNames{"native", "ollama", "lmstudio",
                                                          "vllm",   "remote", "huggingface"};

// The adapter named by --backend; `host` absent keeps the adapter's default address.
std::unique_ptr<backends::BackendAdapter> make_backend(const std::string& name,
                                                       const std::optional<std::string>& host,
                                                       const std::string& api_key);

// Where the reasoning of a model that thinks before answering goes: standard error, dimmed on
// a terminal. Shown with config.think on; hidden with it off (the model is asked not to think);
// by default shown on a terminal only, so piped output stays the answer alone.
std::function<void(const std::string&)> reasoning_printer(const backends::GenerationConfig& config);

// Returns the exit status: 0, or 1 when the last turn failed (the conversation goes on past a
// failed turn).
int chat_session(const ChatModel& model, const SessionOptions& options);

}  // namespace kestrune::cli
