// The interactive chat at a terminal: line editing, history, the chat's commands and Ctrl-C,
// driven through a pseudo-terminal as a person would type.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/kestrune_program.hpp"
#include "support/temp_home.hpp"
#include "support/terminal.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::testing::greedy_answer;
using kestrune::testing::TerminalSession;

constexpr const char* kPrompt = ">>> ";
constexpr const char* kUp = "\x1b[A";
constexpr const char* kLeft = "\x1b[D";
constexpr const char* kCtrlC = "\x03";
constexpr const char* kCtrlD = "\x04";

// The prompt is drawn, and the line editor reads keys: typed earlier, keys are echoed and kept
// by the terminal itself, as no person types.
bool at_prompt(TerminalSession& chat) {
    return chat.wait_for(kPrompt) && chat.wait_for_key_reading();
}

class KestruneTerminal : public ::testing::Test {
  protected:
    kestrune::testing::TempHome home_;
};

TEST_F(KestruneTerminal, LinesAreEditedRecalledAndAnswered) {
    const std::string first = greedy_answer({{"user", "the cat"}}, 8);
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", kestrune::testing::tiny_chat_model(),
                          "--temperature", "0", "--max-tokens", "8"});
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    // "the ct", back one character, "a": the line sent is "the cat".
    chat.type(std::string("the ct") + kLeft + "a\r");
    ASSERT_TRUE(chat.wait_for(first)) << chat.output();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    // Up recalls the line from the history; a second answer follows, then a new prompt.
    chat.type(std::string(kUp) + "\r");
    ASSERT_TRUE(chat.wait_for("the cat")) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    chat.type("/set temperature 0.2\r");
    ASSERT_TRUE(chat.wait_for("temperature = 0.2")) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    // Characters beyond ASCII are edited as characters: é goes in before ß, not inside it.
    chat.type(std::string("/grüß") + kLeft + "é\r");
    ASSERT_TRUE(chat.wait_for("Unknown command /grüéß")) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    chat.type("/help\r");
    ASSERT_TRUE(chat.wait_for("/clear")) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    chat.type(kCtrlD);
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

TEST_F(KestruneTerminal, TheHistoryIsThereAfterARestart) {
    const std::string first = greedy_answer({{"user", "the cat"}}, 8);
    const std::vector<std::string> run = {
        KESTRUNE_CLI_PATH, "run", kestrune::testing::tiny_chat_model(), "--temperature", "0",
        "--max-tokens",    "8"};
    {
        TerminalSession chat(run);
        ASSERT_TRUE(at_prompt(chat)) << chat.output();
        chat.type("the cat\r");
        ASSERT_TRUE(chat.wait_for(first)) << chat.output();
        ASSERT_TRUE(at_prompt(chat)) << chat.output();
        chat.type(kCtrlD);
        EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
        EXPECT_TRUE(chat.output().ends_with("\n")) << "Ctrl-D leaves the line ended";
    }
    TerminalSession chat(run);
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    chat.type(std::string(kUp) + "\r");
    ASSERT_TRUE(chat.wait_for("the cat")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for(first)) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    chat.type("/bye\r");
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

TEST_F(KestruneTerminal, TextTypedDuringAnAnswerWaitsForTheNextPrompt) {
    // The random-weight model writes slowly enough to be typed into.
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", kestrune::testing::throughput_model(),
                          "--max-tokens", "40", "--ctx", "1024", "--temperature", "1"});
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    chat.type("the cat\r");
    ASSERT_TRUE(chat.wait_for("the cat\r\n")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for_more()) << "the answer begins: " << chat.output();
    chat.type("queued words");
    ASSERT_TRUE(chat.wait_for(kPrompt)) << chat.output();
    const std::size_t answer_end = chat.output().size() - std::string(kPrompt).size();
    ASSERT_TRUE(chat.wait_for("queued words")) << "shown at the prompt: " << chat.unseen();
    EXPECT_EQ(chat.output().substr(0, answer_end).find("queued words"), std::string::npos)
        << "not inside the answer: " << ::testing::PrintToString(chat.output());
    ASSERT_TRUE(chat.wait_for_key_reading()) << chat.output();
    chat.type(std::string(kCtrlC));
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    chat.type("/bye\r");
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

TEST_F(KestruneTerminal, CtrlCStopsAnAnswerAndTheNextPromptWorks) {
    // The random-weight model writes slowly enough to be interrupted mid-answer.
    const std::string model = kestrune::testing::throughput_model();
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", model, "--max-tokens", "100000", "--ctx",
                          "4096", "--temperature", "1"});
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    chat.type(kCtrlC);
    ASSERT_TRUE(chat.wait_for("/bye or Ctrl-D to leave")) << chat.unseen();
    ASSERT_TRUE(at_prompt(chat)) << chat.output();

    chat.type("the cat\r");
    ASSERT_TRUE(chat.wait_for("the cat")) << chat.unseen();
    ASSERT_TRUE(chat.wait_for("\n")) << chat.unseen();
    // Some of the answer, then Ctrl-C: the prompt comes back long before 4,000 tokens are done.
    ASSERT_TRUE(chat.wait_for_more()) << chat.output();
    chat.type(kCtrlC);
    ASSERT_TRUE(chat.wait_for(kPrompt, std::chrono::seconds(30))) << chat.output();
    ASSERT_TRUE(chat.wait_for_key_reading()) << chat.output();

    chat.type("/bye\r");
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

TEST_F(KestruneTerminal, CtrlCJustAfterEnterGivesThePromptBack) {
    // Ctrl-C empties the terminal's input queue: keys the line editor was told are waiting may
    // be gone by the time it reads them, and it must not then wait for another key.
    TerminalSession chat({KESTRUNE_CLI_PATH, "run", kestrune::testing::throughput_model(),
                          "--max-tokens", "100000", "--ctx", "4096", "--temperature", "1"});
    ASSERT_TRUE(at_prompt(chat)) << chat.output();
    // Ctrl-C a moment after Enter: the program has woken up to the line but may not
    // have read it yet. Whether the line is dropped or its answer cut short, a prompt follows.
    for (const int pause_us : {0, 25, 50, 75, 100, 150, 250}) {
        ASSERT_TRUE(chat.wait_for_key_reading()) << chat.output();
        chat.type("the cat\r");
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        chat.type(kCtrlC);
        ASSERT_TRUE(chat.wait_for(kPrompt, std::chrono::seconds(30)))
            << "after " << pause_us << " µs: " << chat.output();
    }
    ASSERT_TRUE(chat.wait_for_key_reading()) << chat.output();
    chat.type("/bye\r");
    EXPECT_EQ(chat.wait_exit(), 0) << chat.output();
}

}  // namespace
