// The program's model commands as a newcomer meets them: failures in plain English, `run` and
// `pull` fetching what they name from a loopback hub, `list` and `rm` over the stores of this
// machine, and a chat whose message outgrows the context.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "support/fake_hub.hpp"
#include "support/kestrune_program.hpp"
#include "support/loopback_server.hpp"
#include "support/runtime_stores.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::greedy_answer;
using testing::kestrune_cli;
using testing::kestrune_cli_fed;
using testing::ScopedEnv;
using testing::Words;

std::string model_bytes() {
    std::ifstream in(testing::tiny_chat_model(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The records of `kestrune list --json`.
Json listed() {
    const auto list = kestrune_cli({"list", "--json"});
    EXPECT_EQ(list.exit_code, 0) << list.err;
    return Json::parse(list.out);
}

const Json* find_record(const Json& records, const std::string& name) {
    for (const Json& record : records) {
        if (record["name"] == name) {
            return &record;
        }
    }
    return nullptr;
}

// The prompt's size of each answer of a --verbose run ("…, 0 of 57 from the cache").
std::vector<int> prompt_sizes(const std::string& err) {
    std::vector<int> sizes;
    const std::regex figure(R"(of (\d+) from the cache)");
    for (std::sregex_iterator match(err.begin(), err.end(), figure), end; match != end; ++match) {
        sizes.push_back(std::stoi((*match)[1]));
    }
    return sizes;
}

int prompt_tokens(const Messages& messages) {
    backends::NativeBackend backend;
    backend.load(testing::tiny_chat_model(), {.n_ctx = 2048});
    return backend.count_prompt_tokens(messages);
}

class KestruneModels : public ::testing::Test {
  protected:
    testing::TempHome home_;
    std::string cache_ = home_ / ".cache/kestrune/models";
};

TEST_F(KestruneModels, FailuresAreOneEnglishLineWithAHintAndNothingOnStandardOutput) {
    const std::string folder = home_ / "folder.gguf";
    fs::create_directories(folder);
    struct Case {
        Words words;
        std::string line;  // the whole line, or its beginning when it ends with "…"
    };
    const std::vector<Case> cases{
        {{"run", "./nope.gguf", "-p", "hi"}, "kestrune: no such file: ./nope.gguf"},
        {{"info", "models/nope"}, "kestrune: no such file: models/nope"},
        {{"run", folder, "-p", "hi"}, "kestrune: " + folder + " is a directory, not a model file"},
        {{"meta", folder}, "kestrune: " + folder + " is a directory, not a model file"},
        {{"meta", "hf://nobody/x"},
         "kestrune: no such file: hf://nobody/x (meta reads a local file; kestrune resolve "
         "hf://nobody/x gives the path of the model it names)"},
        {{"info", "qwen2.5:0.5x"},
         "kestrune: no model named 'qwen2.5:0.5x' on this machine or in the catalogue; nearest: "
         "qwen2.5:0.5b, qwen2.5:3b, qwen2.5:7b (kestrune list --catalog shows them all)"},
        {{"pull", "lama3"}, "kestrune: no model named 'lama3' on this machine or in the …"},
        {{"resolve", "foo://x"},
         "kestrune: unknown kind of reference 'foo://' (known: hf://, huggingface://, ollama://, "
         "lmstudio://, vllm://, llamacpp://, mlx://, http://, https://)"},
        {{"rm", "nothing-here"},
         "kestrune: No pulled model named nothing-here in Kestrune's cache (kestrune list shows "
         "them)"},
    };
    for (const auto& [words, line] : cases) {
        SCOPED_TRACE(words.front() + " " + words[1]);
        const auto result = kestrune_cli(words);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, "");
        ASSERT_EQ(lines_of(result.err).size(), 1U) << result.err;
        if (line.ends_with("…")) {
            EXPECT_TRUE(result.err.starts_with(line.substr(0, line.size() - 3))) << result.err;
        } else {
            EXPECT_EQ(result.err, line + "\n");
        }
    }
    // The library's own text follows under --verbose.
    const auto verbose = kestrune_cli({"run", folder, "-p", "hi", "--verbose"});
    EXPECT_EQ(verbose.exit_code, 1);
    EXPECT_NE(verbose.err.find("[Errno 21] Is a directory"), std::string::npos) << verbose.err;
}

TEST_F(KestruneModels, RunPullsACatalogueModelItDoesNotFindThenAnswers) {
    testing::FakeHub hub;
    // Whichever quantisation this machine is given, the hub has it.
    for (const char* quant : {"Q4_K_M", "Q8_0"}) {
        hub.add_file("bartowski/Qwen2.5-0.5B-Instruct-GGUF",
                     std::string("Qwen2.5-0.5B-Instruct-") + quant + ".gguf", model_bytes());
    }
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const Words question = {"run", "qwen2.5:0.5b", "-p", "the cat", "--temperature",
                            "0",   "--max-tokens", "12"};
    const std::string expected = greedy_answer({{"user", "the cat"}}, 12);

    const auto first = kestrune_cli(question);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.out, expected + "\n");
    EXPECT_NE(first.err.find("qwen2.5:0.5b is not on this machine: pulling it from the catalogue "
                             "into " +
                             cache_),
              std::string::npos)
        << first.err;
    const std::size_t downloads =
        hub.count_requests("/bartowski/Qwen2.5-0.5B-Instruct-GGUF/resolve");
    EXPECT_EQ(downloads, 1U);

    const auto again = kestrune_cli(question);
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(again.out, first.out);
    EXPECT_EQ(again.err.find("pulling"), std::string::npos) << again.err;
    EXPECT_EQ(hub.count_requests("/bartowski/Qwen2.5-0.5B-Instruct-GGUF/resolve"), downloads);
    const Json records = listed();
    const Json* pulled = find_record(records, "qwen2.5:0.5b");
    ASSERT_NE(pulled, nullptr);
    EXPECT_EQ((*pulled)["store"], "kestrune");
}

TEST_F(KestruneModels, PullTakesEveryReferenceRunTakes) {
    testing::FakeHub hub;
    hub.add_file("someone/tiny-GGUF", "tiny-Q4_K_M.gguf", model_bytes());
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const auto repository = kestrune_cli({"pull", "hf://someone/tiny-GGUF"});
    ASSERT_EQ(repository.exit_code, 0) << repository.err;
    EXPECT_EQ(repository.out, cache_ + "/tiny-Q4_K_M.gguf\n");

    const std::string model = testing::tiny_chat_model();
    const auto path = kestrune_cli({"pull", model});
    ASSERT_EQ(path.exit_code, 0) << path.err;
    EXPECT_EQ(path.out, fs::absolute(model).lexically_normal().string() + "\n");
}

TEST_F(KestruneModels, ListShowsEveryStoreAndRmTouchesOnlyKestrunesCache) {
    // Other runtimes' stores, in their own layouts.
    const std::string ollama = home_ / ".ollama/models";
    const std::string digest = testing::ollama_digest('a');
    testing::write_file(
        testing::ollama_manifest_path(ollama, "tiny", "latest"),
        testing::ollama_manifest(
            {{.media_type = "application/vnd.ollama.image.model", .digest = digest}}));
    testing::write_file(testing::ollama_blob_path(ollama, digest), model_bytes());
    testing::write_file(home_ / ".cache/lm-studio/models/pub/repo/b-Q4_K_M.gguf", model_bytes());
    testing::write_file(home_ / ".cache/huggingface/hub/models--own--rep/snapshots/main/c.gguf",
                        model_bytes());
    testing::write_file(home_ / ".cache/llama.cpp/d.gguf", model_bytes());
    // In Kestrune's cache: files from two addresses that share a name.
    const testing::LoopbackServer server([](httplib::Server& routes) {
        routes.Get("/a/tiny.gguf", [](const httplib::Request&, httplib::Response& answer) {
            answer.set_content(model_bytes(), "application/octet-stream");
        });
        routes.Get("/b/tiny.gguf", [](const httplib::Request&, httplib::Response& answer) {
            answer.set_content(model_bytes() + "b", "application/octet-stream");
        });
    });
    for (const auto& [address, file] : {std::pair{"/a/tiny.gguf", "/tiny.gguf"},
                                        {"/b/tiny.gguf", "/tiny-2.gguf"},
                                        {"/a/tiny.gguf", "/tiny.gguf"}}) {
        const auto resolved = kestrune_cli({"resolve", server.url(address)});
        ASSERT_EQ(resolved.exit_code, 0) << resolved.err;
        EXPECT_EQ(resolved.out, cache_ + file + "\n") << address;
    }

    const Json records = listed();
    const std::vector<std::pair<std::string, std::string>> expected{
        {"tiny.gguf", "kestrune"},     {"tiny-2.gguf", "kestrune"},       {"tiny:latest", "ollama"},
        {"b-Q4_K_M.gguf", "lmstudio"}, {"own/rep/c.gguf", "huggingface"}, {"d.gguf", "llamacpp"}};
    ASSERT_EQ(records.size(), expected.size()) << records.dump(2);
    for (const auto& [name, store] : expected) {
        const Json* record = find_record(records, name);
        ASSERT_NE(record, nullptr) << name << records.dump(2);
        EXPECT_EQ((*record)["store"], store);
        EXPECT_TRUE(fs::exists((*record)["path"].get<std::string>())) << name;
    }
    const auto table = kestrune_cli({"list"});
    EXPECT_TRUE(table.out.starts_with("NAME")) << table.out;
    EXPECT_NE(table.out.find("STORE"), std::string::npos) << table.out;

    const auto other_store = kestrune_cli({"rm", "tiny:latest"});
    EXPECT_EQ(other_store.exit_code, 1);
    EXPECT_NE(other_store.err.find("tiny:latest is in the ollama store"), std::string::npos)
        << other_store.err;
    EXPECT_NE(other_store.err.find("not Kestrune's cache"), std::string::npos);
    EXPECT_TRUE(fs::exists(testing::ollama_blob_path(ollama, digest)));

    const auto removed = kestrune_cli({"rm", "tiny-2"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(cache_ + "/tiny-2.gguf"));
    EXPECT_FALSE(fs::exists(cache_ + "/tiny-2.gguf.source")) << "its record goes with it";
    EXPECT_EQ(find_record(listed(), "tiny-2.gguf"), nullptr);
    EXPECT_EQ(listed().size(), expected.size() - 1);
}

TEST_F(KestruneModels, AMessageTooLargeForTheContextIsRefusedAndTheChatGoesOn) {
    std::string large;
    for (int i = 0; i < 60; ++i) {
        large += "the cat sat on the mat ";
    }
    const std::string model = testing::tiny_chat_model();
    const Words chat = {"run", model,          "--ctx", "128",      "--temperature",
                        "0",   "--max-tokens", "8",     "--verbose"};
    const auto result = kestrune_cli_fed("the cat\n" + large + "\nthe dog\n", chat);
    EXPECT_EQ(result.exit_code, 0) << "the last turn was answered\n" << result.err;
    const std::vector<std::string> answers = lines_of(result.out);
    ASSERT_EQ(answers.size(), 3U) << "one line per question:\n" << result.out;
    EXPECT_EQ(answers[1], "") << "the refused message has no answer";
    std::smatch refusal;
    ASSERT_TRUE(std::regex_search(
        result.err, refusal,
        std::regex(R"(This message does not fit: it takes (\d+) tokens of prompt, and the )"
                   R"(context window holds 128\.)")))
        << result.err;
    EXPECT_GT(std::stoi(refusal[1]), 128);
    EXPECT_EQ(result.err.find("oldest messages were dropped"), std::string::npos)
        << "the refused message cost the chat nothing: " << result.err;
    // The conversation went on as if the refused message had not been sent.
    const std::string first = greedy_answer({{"user", "the cat"}}, 8);
    EXPECT_EQ(answers[0], first);
    const Messages kept = {{"user", "the cat"}, {"assistant", first}, {"user", "the dog"}};
    EXPECT_EQ(answers[2], greedy_answer(kept, 8));
    EXPECT_EQ(prompt_sizes(result.err),
              (std::vector<int>{prompt_tokens({{"user", "the cat"}}), prompt_tokens(kept)}))
        << result.err;

    const auto refused_last = kestrune_cli_fed("the cat\n" + large + "\n", chat);
    EXPECT_EQ(refused_last.exit_code, 1) << refused_last.err;
}

TEST_F(KestruneModels, SearchWithoutTheHubSaysItShowsTheCatalogueOnly) {
    const ScopedEnv endpoint("HF_ENDPOINT", "http://127.0.0.1:9");
    const auto result = kestrune_cli({"search", "qwen"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("qwen2.5:0.5b"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("The Hugging Face hub could not be reached"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("catalogue models only"), std::string::npos) << result.err;
}

TEST_F(KestruneModels, ChatCommandsShowTheModelTheContextInUseAndTheValues) {
    const std::string model = testing::tiny_chat_model();
    const auto result = kestrune_cli_fed("/set max_tokens 8\n/set\nthe cat\n/show\n/bye\n",
                                         {"run", model, "--temperature", "0"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string answer = greedy_answer({{"user", "the cat"}}, 8);
    for (const std::string& shown :
         {std::string("  temperature = 0\n  top_p = 0.9\n  top_k = 40\n  max_tokens = 8\n"),
          std::string("  model: tiny-chat.gguf\n  context: ") +
              std::to_string(prompt_tokens({{"user", "the cat"}, {"assistant", answer}})) +
              " of 2048 tokens in use\n  temperature = 0\n"}) {
        EXPECT_NE(result.err.find(shown), std::string::npos) << shown << "\nin\n" << result.err;
    }
}

TEST_F(KestruneModels, TextPipedInFollowsThePrompt) {
    const std::string model = testing::tiny_chat_model();
    const auto result =
        kestrune_cli_fed("the cat\nsat on\n", {"run", model, "-p", "summarise:", "--temperature",
                                               "0", "--max-tokens", "12", "--verbose"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const Messages asked = {{"user", "summarise:\n\nthe cat\nsat on"}};
    EXPECT_EQ(result.out, greedy_answer(asked, 12) + "\n");
    EXPECT_EQ(prompt_sizes(result.err), std::vector<int>{prompt_tokens(asked)}) << result.err;
}

}  // namespace
}  // namespace kestrune
