// `kestrune prompt` and how `kestrune run` tells which way a model's prompt is rendered, run
// as a user would, against what the library renders.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "kestrune/backends/native.hpp"
#include "support/kestrune_program.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace {

namespace testing_support = kestrune::testing;
using kestrune::testing::kestrune_cli;
using kestrune::testing::kestrune_cli_fed;
using kestrune::testing::Words;

std::string library_prompt(const std::string& model, const kestrune::Messages& messages) {
    kestrune::backends::NativeBackend backend;
    backend.load(model, {.n_ctx = 256});
    return backend.format_prompt(messages);
}

class KestrunePrompt : public ::testing::Test {
  protected:
    testing_support::TempHome home_;
    testing_support::TempDir dir_;
};

TEST_F(KestrunePrompt, PrintsExactlyThePromptTheModelSees) {
    const std::string model = testing_support::vocab_model("gemma-4");
    const auto result = kestrune_cli({"prompt", model, "--system", "Be brief.", "-p", "Hi"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, library_prompt(model, {{"system", "Be brief."}, {"user", "Hi"}}));
    EXPECT_TRUE(result.out.ends_with("<|turn>model\n")) << result.out;
    EXPECT_EQ(result.err.find("template:"), std::string::npos) << "quiet on the model's own";

    // A conversation from a file, with a tool call and its result, then the -p message.
    const auto file = dir_.write("chat.json",
                                 R"({"messages": [{"role": "user", "content": "Weather in Paris?"},
            {"role": "assistant", "content": "", "tool_calls": [{"type": "function",
             "function": {"name": "web_search", "arguments": {"query": "Paris weather"}}}]},
            {"role": "tool", "content": "Sunny, 21 C", "name": "web_search"}]})");
    const auto from_file =
        kestrune_cli({"prompt", model, "--messages", file.string(), "-p", "Thanks"});
    ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
    kestrune::Message call{"assistant", ""};
    call.set(
        "tool_calls",
        R"([{"type":"function","function":{"name":"web_search","arguments":{"query":"Paris weather"}}}])");
    kestrune::Message answer{"tool", "Sunny, 21 C"};
    answer.set("name", "web_search");
    EXPECT_EQ(
        from_file.out,
        library_prompt(model, {{"user", "Weather in Paris?"}, call, answer, {"user", "Thanks"}}));
    EXPECT_NE(from_file.out.find("Sunny, 21 C"), std::string::npos) << from_file.out;
    EXPECT_NE(from_file.out.find("web_search"), std::string::npos) << from_file.out;
}

TEST_F(KestrunePrompt, WithoutAConversationOrWithABadFileItSaysWhy) {
    const std::string model = testing_support::vocab_model("phi-3");
    const auto none = kestrune_cli({"prompt", model});
    EXPECT_EQ(none.exit_code, 2);
    EXPECT_NE(none.err.find("needs a conversation"), std::string::npos) << none.err;

    const auto file = dir_.write("bad.json", R"({"role": "user"})");
    const auto bad = kestrune_cli({"prompt", model, "--messages", file.string()});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.err.find("neither a list of messages"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out, "");
}

TEST_F(KestrunePrompt, AModelWithoutATemplateGetsChatMLWithAOneLineNotice) {
    const std::string model = testing_support::with_chat_template(dir_, "");
    const auto prompt = kestrune_cli({"prompt", model, "-p", "Hi"});
    ASSERT_EQ(prompt.exit_code, 0) << prompt.err;
    EXPECT_EQ(prompt.out, "<|im_start|>user\nHi<|im_end|>\n<|im_start|>assistant\n");
    EXPECT_EQ(prompt.err, "  template:    ChatML: the model carries no chat template\n");

    const auto run = kestrune_cli({"run", model, "-p", "Hi", "--max-tokens", "3"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("  template:    ChatML: the model carries no chat template\n"),
              std::string::npos)
        << run.err;
}

TEST_F(KestrunePrompt, VerboseRunNamesTheTemplatePathTaken) {
    const auto own = kestrune_cli({"run", testing_support::vocab_model("qwen2"), "-p", "Hi",
                                   "--max-tokens", "3", "--verbose"});
    ASSERT_EQ(own.exit_code, 0) << own.err;
    EXPECT_NE(own.err.find("  template:    the model's own chat template (reply format "),
              std::string::npos)
        << own.err;

    const std::string broken = testing_support::with_chat_template(dir_, "{% if %}");
    const auto failed = kestrune_cli({"run", broken, "-p", "Hi", "--max-tokens", "3"});
    ASSERT_EQ(failed.exit_code, 0) << failed.err;
    EXPECT_NE(failed.err.find("  template:    ChatML: the model's chat template failed ("),
              std::string::npos)
        << failed.err;
}

TEST_F(KestrunePrompt, ThinkingIsAskedForByDefaultAndSwitchedOffByFlagOrChatCommand) {
    const std::string model = testing_support::vocab_model("gemma-4");
    const Words run{"run", model, "-p", "Hi", "--max-tokens", "2", "--verbose"};
    const auto by_default = kestrune_cli(run);
    ASSERT_EQ(by_default.exit_code, 0) << by_default.err;
    EXPECT_NE(by_default.err.find("(reply format peg-gemma4, thinking)"), std::string::npos)
        << by_default.err;

    Words no_think = run;
    no_think.push_back("--no-think");
    const auto off = kestrune_cli(no_think);
    ASSERT_EQ(off.exit_code, 0) << off.err;
    EXPECT_NE(off.err.find("(reply format peg-gemma4)"), std::string::npos) << off.err;

    const auto chat =
        kestrune_cli_fed("/set think off\n/set think maybe\n", {"run", model, "--max-tokens", "2"});
    EXPECT_EQ(chat.exit_code, 0) << chat.err;
    EXPECT_NE(chat.err.find("  think = off\n"), std::string::npos) << chat.err;
    EXPECT_NE(chat.err.find("  think takes on or off, not \"maybe\""), std::string::npos)
        << chat.err;
}

TEST_F(KestrunePrompt, ToolsAreOfferedToInProcessModelsByName) {
    const std::string model = testing_support::vocab_model("qwen2");
    // Three tokens cannot make a call, so nothing is searched: the answer is printed as it is.
    const auto offered = kestrune_cli({"run", model, "-p", "Hi", "--max-tokens", "3",
                                       "--temperature", "0", "--tools", "web_search"});
    ASSERT_EQ(offered.exit_code, 0) << offered.err;
    EXPECT_EQ(offered.err.find("[web_search]"), std::string::npos) << offered.err;

    const auto unknown = kestrune_cli({"run", model, "-p", "Hi", "--tools", "calculator"});
    EXPECT_NE(unknown.exit_code, 0);
    EXPECT_NE(unknown.err.find("calculator"), std::string::npos) << unknown.err;
    const auto server =
        kestrune_cli({"run", "llama3", "--backend", "ollama", "--tools", "web_search", "-p", "Hi"});
    EXPECT_NE(server.exit_code, 0);
    EXPECT_NE(server.err.find("--tools needs the native backend"), std::string::npos) << server.err;
}

}  // namespace

namespace {

std::vector<std::vector<float>> vectors_of(const std::string& lines) {
    std::vector<std::vector<float>> vectors;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        vectors.push_back(nlohmann::json::parse(line).get<std::vector<float>>());
    }
    return vectors;
}

}  // namespace

TEST_F(KestrunePrompt, EmbedPrintsTheLibrarysVectorsOneALineFromArgumentsOrStandardInput) {
    const std::string model = testing_support::tiny_chat_model();
    kestrune::backends::NativeBackend backend;
    backend.load(model, {.n_ctx = 256});
    const auto expected = backend.embed({"a cat", "a dog"});
    const auto given = kestrune_cli({"embed", model, "a cat", "a dog"});
    ASSERT_EQ(given.exit_code, 0) << given.err;
    const auto printed = vectors_of(given.out);
    ASSERT_EQ(printed.size(), 2U) << given.out;
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(printed[i].size(), expected[i].size());
        for (std::size_t j = 0; j < printed[i].size(); ++j) {
            EXPECT_NEAR(printed[i][j], expected[i][j], 1e-6);
        }
    }
    const auto fed = kestrune_cli_fed("a cat\na dog\n", {"embed", model});
    ASSERT_EQ(fed.exit_code, 0) << fed.err;
    EXPECT_EQ(fed.out, given.out);
    std::string long_text;
    for (int i = 0; i < 40; ++i) {
        long_text += "the cat sat on the mat ";
    }
    const auto too_long = kestrune_cli({"embed", model, long_text, "--ctx", "32"});
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_NE(too_long.err.find("longer than the context"), std::string::npos) << too_long.err;
}
