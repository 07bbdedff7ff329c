// The kestrune program run as a user or a script would, for the test programs built with
// KESTRUNE_CLI_PATH (tests/CMakeLists.txt names them), and the answer it should give.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "kestrune/backends/native.hpp"
#include "platform/os/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_models.hpp"

namespace kestrune::testing {

using Words = std::vector<std::string>;

// The program with `arguments`, standard input empty.
inline platform::process::RunResult kestrune_cli(Words arguments) {
    arguments.insert(arguments.begin(), KESTRUNE_CLI_PATH);
    return platform::process::run(arguments, std::chrono::seconds(120));
}

// The program with standard input read from `input` (a file, not a terminal).
inline platform::process::RunResult kestrune_cli_fed(const std::string& input, Words arguments) {
    const TempDir dir;
    const auto file = dir.write("input", input);
    arguments.insert(arguments.begin(), {"/bin/sh", "-c", R"(f=$1; shift; exec "$@" < "$f")", "sh",
                                         file.string(), KESTRUNE_CLI_PATH});
    return platform::process::run(arguments, std::chrono::seconds(300));
}

// The library's greedy answer to `messages`: what `kestrune run --temperature 0` should print.
inline std::string greedy_answer(const Messages& messages, int max_tokens,
                                 const std::string& model = tiny_chat_model()) {
    backends::NativeBackend backend;
    backend.load(model, {.n_ctx = 2048});
    return backend.chat(messages,
                        backends::GenerationConfig{.max_tokens = max_tokens, .temperature = 0.0});
}

}  // namespace kestrune::testing
