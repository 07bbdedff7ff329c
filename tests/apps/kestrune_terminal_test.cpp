// The interactive chat at a terminal: line editing, history, the chat's commands and Ctrl-C,
// driven through a pseudo-terminal as a person would type.
#include <gtest/gtest.h>

#include <string>

#include "kestrune/backends/native.hpp"
#include "support/temp_home.hpp"
#include "support/terminal.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::testing::TerminalSession;

constexpr const char* kPrompt = ">>> ";
constexpr const char* kUp = "\x1b[A";
constexpr const char* kLeft = "\x1b[D";
constexpr const char* kCtrlC = "\x03";
constexpr const char* kCtrlD = "\x04";

std::string greedy_answer(const kestrune::Messages& messages, int max_tokens) {
    kestrune::backends::NativeBackend backend;
    backend.load(kestrune::testing::tiny_chat_model(), {.n_ctx = 2048});
    return backend.chat(messages, kestrune::backends::GenerationConfig{.max_tokens = max_tokens,
                                                                       .temperature = 0.0});
}

class KestruneTerminal : public ::testing::Test {
  protected:
    kestrune::testing::TempHome home_;
};

TEST_F(KestruneTerminal, LinesAreEditedRecalledAndAnswered) {
    const std::string first = greedy_answer({{"user", "the cat"}}, 8);
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", kestrune::testing::tiny_chat_model(),
                          "--temperature", "0", "--max-tokens", "8"});
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();

    // "the ct", back one character, "a": the line sent is "the cat".
    chat.type(std::string("the ct") + kLeft + "a\r");
    ASSERT_TRUE(chat.wait_for(first)) << chat.output();
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();

    // Up recalls the line from the history; a second answer follows, then a new prompt.
    chat.type(std::string(kUp) + "\r");
    ASSERT_TRUE(chat.wait_for("the cat")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();

    chat.type("/set temperature 0.2\r");
    ASSERT_TRUE(chat.wait_for("temperature = 0.2")) << chat.unseen();
    // Each line is typed at a prompt: typed ahead, it reaches the editor before it has put the
    // terminal into its own mode, as no person types.
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();
    // Characters beyond ASCII are edited as characters: é goes in before ß, not inside it.
    chat.type(std::string("/grüß") + kLeft + "é\r");
    ASSERT_TRUE(chat.wait_for("Unknown command /grüéß")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();
    chat.type("/help\r");
    ASSERT_TRUE(chat.wait_for("/clear")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for(kPrompt));

    chat.type(kCtrlD);
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

TEST_F(KestruneTerminal, CtrlCStopsAnAnswerAndTheNextPromptWorks) {
    // The random-weight model writes slowly enough to be interrupted mid-answer.
    const std::string model = kestrune::testing::throughput_model();
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", model, "--max-tokens", "100000", "--ctx",
                          "4096", "--temperature", "1"});
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();

    chat.type(kCtrlC);
    ASSERT_TRUE(chat.wait_for("/bye or Ctrl-D to leave")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();

    chat.type("the cat\r");
    ASSERT_TRUE(chat.wait_for("the cat")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for("\n")) << chat.unseen();
    // Some of the answer, then Ctrl-C: the prompt comes back long before 4,000 tokens are done.
    ASSERT_TRUE(chat.wait_for_more()) << chat.output();
    chat.type(kCtrlC);
    ASSERT_TRUE(chat.wait_for(kPrompt, std::chrono::seconds(30))) << chat.output();

    chat.type("/bye\r");
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

}  // namespace
