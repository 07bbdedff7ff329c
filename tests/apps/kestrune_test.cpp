// Runs the kestrune program itself, as a user or a script would, in a temporary HOME, and
// checks what it prints against what the library returns for the same request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/engine/evaluator.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/engine/model_info.hpp"
#include "kestrune/registry/store.hpp"
#include "platform/os/process.hpp"
#include "support/cout_capture.hpp"
#include "support/fake_hub.hpp"
#include "support/gguf_header.hpp"
#include "support/kestrune_program.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace {

namespace fs = std::filesystem;
using kestrune::Json;
using kestrune::testing::greedy_answer;
using kestrune::testing::kestrune_cli;
using kestrune::testing::kestrune_cli_fed;
using kestrune::testing::ScopedEnv;
using kestrune::testing::TempHome;
using kestrune::testing::Words;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string model_bytes() {
    return read_file(kestrune::testing::tiny_chat_model());
}

// A number that follows `label` in `text`, e.g. the 57 of "prompt:      57 tokens".
int number_after(const std::string& text, const std::string& label) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(label + R"(\s+(\d+))"))) {
        return -1;
    }
    return std::stoi(match[1]);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class KestruneCli : public ::testing::Test {
  protected:
    TempHome home_;
};

TEST_F(KestruneCli, RunWithPromptPrintsTheAnswerAndNothingElseOnStandardOutput) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const std::string expected = greedy_answer({{"user", "the cat"}}, 24);
    ASSERT_FALSE(expected.empty());

    const auto result = kestrune_cli({"run", model, "-p", "the cat", "--temperature", "0",
                                      "--max-tokens", "24", "--ctx", "2048"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, expected + "\n");

    const std::string question = "How do I pull a model?";
    const std::string bundled_expected =
        greedy_answer({{"user", question}}, 24, kestrune::testing::bundled_chat_model());
    const auto bundled =
        kestrune_cli({"run", "-p", question, "--temperature", "0", "--max-tokens", "24"});
    EXPECT_EQ(bundled.exit_code, 0) << bundled.err;
    EXPECT_EQ(bundled.out, bundled_expected + "\n") << "no REF runs the bundled chat model";
}

TEST_F(KestruneCli, VerboseReportsMeasuredFiguresOnStandardError) {
    const std::string model = kestrune::testing::tiny_chat_model();
    kestrune::backends::NativeBackend backend;
    backend.load(model, {.n_ctx = 2048});
    const kestrune::Messages messages{{"user", "the cat"}};
    const std::string expected = backend.chat(
        messages, kestrune::backends::GenerationConfig{.max_tokens = 24, .temperature = 0.0});
    const auto counts = backend.last_token_counts();

    const auto result =
        kestrune_cli({"run", model, "-p", "the cat", "--temperature", "0", "--max-tokens", "24",
                      "--ctx", "2048", "--kv-type", "q8_0", "--verbose"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, expected + "\n") << "--verbose keeps standard output clean";
    EXPECT_NE(result.err.find("  Model: Kestrune Tiny Chat\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Plan:"), std::string::npos);
    EXPECT_NE(result.err.find("KV cache q8_0"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("load:"), std::string::npos);
    EXPECT_NE(result.err.find("first token:"), std::string::npos);
    EXPECT_EQ(number_after(result.err, "prompt:"), counts.prompt_tokens) << result.err;
    EXPECT_EQ(counts.prompt_tokens, backend.count_prompt_tokens(messages));
    std::smatch all;
    ASSERT_TRUE(std::regex_search(result.err, all, std::regex(R"((\d+) in all)")));
    EXPECT_EQ(std::stoi(all[1]), counts.generated_tokens);
    EXPECT_GT(counts.generated_tokens, 1);
}

TEST_F(KestruneCli, RunWithADraftAnswersAsWithoutAndReportsAcceptanceAndSpeedUp) {
    // The run's default sampling settings (a repeat penalty among them) hold with --draft too.
    const auto pair = kestrune::testing::draft_pair("pair-80");
    const Words question = {"run", pair.target, "-p",  "the cat",      "--temperature",
                            "0",   "--ctx",     "512", "--max-tokens", "12"};
    const auto plain = kestrune_cli(question);
    ASSERT_EQ(plain.exit_code, 0) << plain.err;

    Words drafted = question;
    drafted.insert(drafted.end(), {"--draft", pair.draft, "--verbose"});
    const auto result = kestrune_cli(drafted);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, plain.out);
    std::smatch report;
    ASSERT_TRUE(std::regex_search(
        result.err, report,
        std::regex(R"(speculative: acceptance ([0-9.]+) \((\d+) of (\d+) proposals\), 12 tokens)"
                   R"(.* ([0-9.]+)x plain decoding)")))
        << result.err;
    EXPECT_GT(std::stod(report[1]), 0.0);
    EXPECT_GT(std::stoi(report[3]), 0);
    EXPECT_GT(std::stod(report[4]), 0.0);
}

TEST_F(KestruneCli, ContextIsCheckedAgainstTheModelAndTheMachine) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const auto above =
        kestrune_cli({"run", model, "-p", "the cat", "--max-tokens", "4", "--ctx", "4096"});
    EXPECT_EQ(above.exit_code, 0) << above.err;
    EXPECT_NE(above.err.find("--ctx 4096 is above the 2048 tokens"), std::string::npos)
        << above.err;

    const auto huge = kestrune_cli({"run", model, "-p", "the cat", "--ctx", "2000000000"});
    EXPECT_EQ(huge.exit_code, 1);
    EXPECT_NE(huge.err.find("MB of KV cache"), std::string::npos) << huge.err;
    EXPECT_NE(huge.err.find("the largest context that fits is"), std::string::npos);
    EXPECT_EQ(huge.out, "");
}

TEST_F(KestruneCli, EveryCommandHasHelpWithAnExample) {
    const std::vector<Words> commands{
        {"run"},    {"info"},     {"meta"}, {"resolve"},         {"pull"}, {"list"},      {"rm"},
        {"search"}, {"backends"}, {"kv"},   {"kv", "recommend"}, {"eval"}, {"websearch"}, {"help"}};
    for (const Words& command : commands) {
        for (const char* flag : {"--help", "-h"}) {
            Words words = command;
            words.push_back(flag);
            const auto result = kestrune_cli(words);
            EXPECT_EQ(result.exit_code, 0) << command.back() << flag << result.err;
            EXPECT_NE(result.out.find("Usage: kestrune " + command.front()), std::string::npos)
                << result.out;
            EXPECT_NE(result.out.find("Example"), std::string::npos) << command.back();
        }
        Words help{"help"};
        help.insert(help.end(), command.begin(), command.end());
        Words dashed = command;
        dashed.push_back("--help");
        EXPECT_EQ(kestrune_cli(help).out, kestrune_cli(dashed).out) << command.back();
    }
    const auto top = kestrune_cli({"--help"});
    EXPECT_EQ(top.exit_code, 0);
    for (const char* listed : {"run", "rm", "websearch", "HF_TOKEN", "HF_ENDPOINT", "HF_HOME"}) {
        EXPECT_NE(top.out.find(listed), std::string::npos) << listed;
    }
    const auto version = kestrune_cli({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_TRUE(version.out.starts_with("kestrune 0.")) << version.out;
    EXPECT_NE(version.out.find("\nllama.cpp "), std::string::npos) << version.out;
}

TEST_F(KestruneCli, MalformedCommandLinesExitTwoNamingWhatIsWrong) {
    const std::vector<std::pair<Words, std::string>> cases{
        {{}, "no command given"},
        {{"rnu", "-p", "hi"}, "unknown command 'rnu'; did you mean 'run'?"},
        {{"lsit"}, "did you mean 'list'?"},
        {{"help", "serach"}, "did you mean 'search'?"},
        {{"run", "--max-tokns", "5"}, "unknown option --max-tokns; did you mean '--max-tokens'?"},
        {{"run", "--max-tokens", "0"}, "--max-tokens: must be ≥ 1"},
        {{"run", "--max-tokens", "many"}, "--max-tokens"},
        {{"run", "--backend", "bogus"}, "unknown backend 'bogus'"},
        {{"run", "--kv-type", "q9_9"}, "unknown KV cache type 'q9_9'"},
        {{"run", "--temperature", "hot"}, "--temperature: must be a number, not hot"},
        {{"run", "--host", "http://127.0.0.1:9", "-p", "hi"},
         "--host needs --backend ollama, lmstudio, vllm or remote; the native backend does not "
         "use it"},
        {{"run", "--backend", "ollama", "--api-key", "k", "m"},
         "--api-key needs the remote backend; the ollama backend does not use it"},
        {{"run", "--backend", "remote", "--draft", "d.gguf", "m"}, "--draft needs the native"},
        {{"info"}, "missing REF"},
        {{"kv", "recommend", "--params", "7"}, "missing --vram"},
        {{"eval", "text", "--unknown", "x"}, "unknown option --unknown"},
    };
    for (const auto& [words, problem] : cases) {
        const auto result = kestrune_cli(words);
        const std::string shown = words.empty() ? "(nothing)" : words.front();
        EXPECT_EQ(result.exit_code, 2) << shown << result.err;
        EXPECT_NE(result.err.find(problem), std::string::npos) << shown << ": " << result.err;
        EXPECT_NE(result.err.find("Usage: kestrune"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(KestruneCli, InfoAndMetaPrintWhatTheReaderReturns) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const auto meta = kestrune::ggufmeta::read_gguf_metadata(model);
    const auto spec = kestrune::ggufmeta::gguf_to_model_spec(model);
    std::string described;
    {
        kestrune::testing::CoutCapture capture;
        kestrune::ggufmeta::print_model_info(spec, &meta);
        described = capture.text();
    }
    const auto info = kestrune_cli({"info", model});
    EXPECT_EQ(info.exit_code, 0) << info.err;
    EXPECT_EQ(info.out, described);

    const auto as_json = kestrune_cli({"info", model, "--json"});
    ASSERT_EQ(as_json.exit_code, 0) << as_json.err;
    const Json record = Json::parse(as_json.out);
    EXPECT_EQ(record["name"], spec.name);
    EXPECT_EQ(record["n_layers"], spec.n_layers);
    EXPECT_EQ(record["context_length"], spec.context_length);
    EXPECT_EQ(record["file_size_mb"], spec.file_size_mb);
    Json path_and_spec = {{"path", model}};
    path_and_spec.update(Json(spec));
    EXPECT_EQ(as_json.out, path_and_spec.dump(2) + "\n") << "the record's own JSON, after the path";

    const auto printed = kestrune_cli({"meta", model});
    ASSERT_EQ(printed.exit_code, 0) << printed.err;
    const Json json = Json::parse(printed.out);
    ASSERT_EQ(json.size(), meta.size());
    auto key = json.begin();
    for (const auto& [name, value] : meta) {
        EXPECT_EQ(key.key(), name) << "keys keep the file's order";
        std::visit([&, &expected_name = name](
                       const auto& v) { EXPECT_EQ(key.value(), Json(v)) << expected_name; },
                   value);
        ++key;
    }
}

// Bytes a terminal would obey: every control character but the line break.
bool has_raw_controls(const std::string& text) {
    return std::ranges::any_of(text, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c != '\n' && (byte < 0x20 || byte == 0x7f);
    });
}

TEST_F(KestruneCli, ControlCharactersFromAHeaderAreWrittenOut) {
    const std::string name = "Evil\x1b]0;owned\x07\x1b[2J\rName";
    const std::string model = home_ / "hostile.gguf";
    kestrune::testing::write_gguf_header(
        model, {{"general.architecture", std::string("llama\x1b[31m")}, {"general.name", name}});

    const auto info = kestrune_cli({"info", model});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_FALSE(has_raw_controls(info.out)) << info.out;
    EXPECT_NE(info.out.find("  Model: Evil\\x1b]0;owned\\x07\\x1b[2J\\x0dName\n"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("  Architecture: llama\\x1b[31m\n"), std::string::npos) << info.out;

    // JSON escapes them by itself, and the value reads back as the file holds it.
    const auto meta = kestrune_cli({"meta", model});
    ASSERT_EQ(meta.exit_code, 0) << meta.err;
    EXPECT_FALSE(has_raw_controls(meta.out)) << meta.out;
    EXPECT_EQ(Json::parse(meta.out)["general.name"], name);
}

TEST_F(KestruneCli, ListingsAsJsonParseAndMatchTheLibrary) {
    const auto catalog = kestrune_cli({"list", "--catalog", "--json"});
    ASSERT_EQ(catalog.exit_code, 0) << catalog.err;
    EXPECT_EQ(Json::parse(catalog.out), Json(kestrune::registry::RegistryStore::catalog()));

    const auto empty = kestrune_cli({"list", "--json"});
    ASSERT_EQ(empty.exit_code, 0) << empty.err;
    EXPECT_EQ(Json::parse(empty.out), Json::array());

    const auto backends = kestrune_cli({"backends", "--json"});
    ASSERT_EQ(backends.exit_code, 0) << backends.err;
    const Json records = Json::parse(backends.out);
    ASSERT_EQ(records.size(), 6U);
    EXPECT_EQ(records[0]["name"], "native");
    EXPECT_EQ(records[0]["available"], true);

    kestrune::testing::FakeHub hub;
    hub.add_file("someone/Qwen-Tiny-GGUF", "qwen-tiny-Q4_0.gguf", "GGUF");
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const auto search = kestrune_cli({"search", "qwen", "--json"});
    ASSERT_EQ(search.exit_code, 0) << search.err;
    const Json found = Json::parse(search.out);
    EXPECT_EQ(found, Json(kestrune::registry::RegistryStore::search("qwen")));
    EXPECT_TRUE(std::ranges::any_of(found, [](const Json& r) {
        return r["source"] == "huggingface";
    })) << found.dump();
}

TEST_F(KestruneCli, DownloadsLandInTheModelsCacheAndAreFoundThereNextTime) {
    kestrune::testing::FakeHub hub;
    hub.add_file("someone/tiny-GGUF", "tiny-Q8_0.gguf", model_bytes());
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const fs::path cache = fs::path(home_.path()) / ".cache/kestrune/models";
    const std::string ref = "hf://someone/tiny-GGUF/tiny-Q8_0.gguf";

    const auto info = kestrune_cli({"info", ref});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.err.find(ref + " is not here yet: downloading it into " + cache.string()),
              std::string::npos)
        << info.err;
    EXPECT_NE(info.out.find("Kestrune Tiny Chat"), std::string::npos);
    EXPECT_TRUE(fs::exists(cache / "tiny-Q8_0.gguf"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "tiny-Q8_0.gguf"));

    const std::size_t downloads = hub.count_requests("/someone/tiny-GGUF/resolve");
    const auto again = kestrune_cli({"resolve", ref});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(again.out, (cache / "tiny-Q8_0.gguf").string() + "\n") << "the path alone";
    EXPECT_EQ(again.err.find("downloading"), std::string::npos) << again.err;
    EXPECT_EQ(hub.count_requests("/someone/tiny-GGUF/resolve"), downloads);

    const std::string address = hub.endpoint() + "/someone/tiny-GGUF/resolve/main/tiny-Q8_0.gguf";
    const TempHome other_home;
    const auto plain = kestrune_cli({"resolve", address});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(plain.out, other_home / ".cache/kestrune/models/tiny-Q8_0.gguf\n");

    const auto elsewhere = kestrune_cli({"resolve", ref, "--output-dir", home_ / "mine"});
    EXPECT_EQ(elsewhere.out, home_ / "mine/tiny-Q8_0.gguf\n") << elsewhere.err;
}

TEST_F(KestruneCli, AnOutputDirThatCannotTakeTheDownloadFailsInOneLineAskingNothing) {
    std::atomic<int> requests{0};
    const kestrune::testing::LoopbackServer server([&](httplib::Server& routes) {
        routes.Get("/model.gguf", [&](const httplib::Request&, httplib::Response& answer) {
            ++requests;
            answer.set_content("GGUF", "application/octet-stream");
        });
    });
    const std::string a_file = home_ / "a-file";
    std::ofstream(a_file) << "keep";
    const std::string read_only = home_ / "read-only";
    fs::create_directory(read_only);
    fs::permissions(read_only, fs::perms::owner_read | fs::perms::owner_exec);
    Words folders = {a_file, a_file + "/below", "/proc/self"};
    if (::geteuid() != 0) {  // the superuser writes into any folder
        folders.push_back(read_only);
    }
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        const auto result =
            kestrune_cli({"resolve", server.url("/model.gguf"), "--output-dir", folder});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(occurrences(result.err, "\n"), 1U) << result.err;
        EXPECT_NE(result.err.find("--output-dir " + folder + ": "), std::string::npos)
            << result.err;
    }
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(read_file(a_file), "keep");
    EXPECT_TRUE(fs::is_empty(read_only));
    fs::permissions(read_only, fs::perms::owner_all);
}

TEST_F(KestruneCli, PulledModelsAreListedInColumnsAndRemoved) {
    kestrune::testing::FakeHub hub;
    hub.add_file("bartowski/Qwen2.5-0.5B-Instruct-GGUF", "Qwen2.5-0.5B-Instruct-Q4_K_M.gguf",
                 model_bytes());
    const ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    const auto pulled = kestrune_cli({"pull", "qwen2.5:0.5b", "--quant", "Q4_K_M"});
    ASSERT_EQ(pulled.exit_code, 0) << pulled.err;
    const std::string path = pulled.out.substr(0, pulled.out.size() - 1);
    ASSERT_TRUE(fs::exists(path)) << pulled.out;

    const auto list = kestrune_cli({"list"});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    const std::string header = list.out.substr(0, list.out.find('\n'));
    const std::string row = list.out.substr(header.size() + 1);
    EXPECT_TRUE(header.starts_with("NAME          QUANT   SIZE    PATH")) << list.out;
    EXPECT_TRUE(row.starts_with("qwen2.5:0.5b  Q4_K_M  ")) << list.out;
    EXPECT_EQ(row.find("PATH"), std::string::npos);
    EXPECT_EQ(row.find(path), header.find("PATH")) << "columns line up:\n" << list.out;
    EXPECT_NE(row.find(" MB "), std::string::npos) << "a human size";

    const auto removed = kestrune_cli({"rm", "qwen2.5:0.5b"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(Json::parse(kestrune_cli({"list", "--json"}).out), Json::array());
    const auto twice = kestrune_cli({"rm", "qwen2.5:0.5b"});
    EXPECT_EQ(twice.exit_code, 1);
    EXPECT_NE(twice.err.find("No pulled model named qwen2.5:0.5b"), std::string::npos);
}

TEST_F(KestruneCli, PipedChatPastTheContextAnswersEveryTurn) {
    // Each turn is about 200 tokens of the corpus; five of them overflow a 512-token context.
    std::string turn;
    for (int i = 0; i < 20; ++i) {
        turn += "the cache keeps the keys and values of every token. ";
    }
    std::string input = "/set max_tokens 6\n";
    for (int i = 0; i < 5; ++i) {
        input += turn + "\n";
    }
    input += "\"\"\"\nthe cat\nsat on\n\"\"\"\n/clear\nthe cat\n/bye\nnever read\n";
    const auto result =
        kestrune_cli_fed(input, {"run", kestrune::testing::tiny_chat_model(), "--temperature", "0",
                                 "--ctx", "512", "--system", "be brief", "--verbose"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(occurrences(result.err, "  total:"), 7U) << "seven questions, seven answers\n"
                                                       << result.err;
    EXPECT_NE(result.err.find("max_tokens = 6"), std::string::npos);
    EXPECT_GE(occurrences(result.err, "oldest messages were dropped"), 1U) << result.err;
    EXPECT_EQ(result.err.find("exceed context window"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Conversation cleared."), std::string::npos);
    // The last question, after /clear, is the conversation's only turn: the greedy answer.
    const std::string alone = greedy_answer({{"system", "be brief"}, {"user", "the cat"}}, 6);
    EXPECT_TRUE(result.out.ends_with(alone + "\n")) << result.out;
}

TEST_F(KestruneCli, ResolveAnswersAbsolutePathsAndTheLibrarysNotFoundTextWhenVerbose) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const auto found = kestrune_cli({"resolve", model});
    EXPECT_EQ(found.exit_code, 0);
    EXPECT_EQ(found.out, fs::absolute(model).lexically_normal().string() + "\n");

    // The search covers the user's stores, so it runs in an empty home of its own.
    const kestrune::testing::TempHome home;
    const auto missing = kestrune_cli({"resolve", "kestrune-no-such-model", "--verbose"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.out, "");
    const std::string line = missing.err.substr(0, missing.err.find('\n') + 1);
    EXPECT_TRUE(line.starts_with("kestrune: no model named 'kestrune-no-such-model'")) << line;
    EXPECT_EQ(missing.err.substr(line.size()),
              "Modell nicht gefunden: kestrune-no-such-model\n\nOptionen:\n"
              "  kestrune pull kestrune-no-such-model        Herunterladen\n"
              "  kestrune list --catalog          Verfügbare Modelle\n"
              "  kestrune run ./pfad/model.gguf   Lokale Datei\n"
              "  kestrune run hf://user/repo      Von HuggingFace\n"
              "  kestrune run ollama://name       Von Ollama\n");
}

TEST_F(KestruneCli, KvRecommendAndEvalPrintTheModulesResults) {
    const auto config = kestrune::kvquant::recommend_kv_config(70, 24000, 131072);
    const auto kv = kestrune_cli(
        {"kv", "recommend", "--params", "70", "--vram", "24000", "--context", "131072"});
    ASSERT_EQ(kv.exit_code, 0) << kv.err;
    const Json printed = Json::parse(kv.out);
    EXPECT_EQ(printed["k_type"], config.k_type);
    EXPECT_EQ(printed["v_type"], config.v_type);
    EXPECT_EQ(printed["fallback"], config.fallback);
    EXPECT_EQ(printed["enabled"], config.enabled);

    const std::string text = "no no no no no no no no no no no no";
    const auto score = kestrune::evaluator::evaluate_output(text, "say something");
    const auto eval = kestrune_cli({"eval", text, "--prompt", "say something"});
    ASSERT_EQ(eval.exit_code, 0) << eval.err;
    const Json scores = Json::parse(eval.out);
    EXPECT_DOUBLE_EQ(scores["repetition_score"].get<double>(), score.repetition_score);
    EXPECT_DOUBLE_EQ(scores["overall"].get<double>(), score.overall);
    EXPECT_LT(score.repetition_score, 1.0) << "the sample must exercise a real score";
    EXPECT_EQ(scores["details"], score.details);
}

TEST_F(KestruneCli, RunWithAFormatAnswersJsonOfItsSchemaOrSaysWhyNot) {
    const std::string schema = home_.path() + "/person.json";
    std::ofstream(schema) << R"({"type":"object","properties":{
        "name":{"type":"string","maxLength":10},"age":{"type":"integer","minimum":1,"maximum":99}},
        "required":["name","age"]})";
    const auto shaped = kestrune_cli({"run", kestrune::testing::vocab_model("phi-3"), "-p", "Who?",
                                      "--temperature", "1", "--format", schema});
    ASSERT_EQ(shaped.exit_code, 0) << shaped.err;
    const Json person = Json::parse(shaped.out);
    EXPECT_TRUE(person["name"].is_string()) << shaped.out;
    EXPECT_TRUE(person["age"].is_number_integer() && person["age"] >= 1 && person["age"] <= 99)
        << shaped.out;
    const auto object = kestrune_cli({"run", "-p", "What is Kestrune?", "--temperature", "0",
                                      "--max-tokens", "400", "--format", "json"});
    ASSERT_EQ(object.exit_code, 0) << object.err;
    EXPECT_TRUE(Json::parse(object.out).is_object()) << object.out;

    const std::string unkept = home_.path() + "/unkept.json";
    std::ofstream(unkept) << R"({"type":"array","uniqueItems":true})";
    for (const std::string& format : {unkept, home_.path() + "/missing.json"}) {
        const auto refused = kestrune_cli({"run", "-p", "x", "--format", format});
        EXPECT_NE(refused.exit_code, 0) << format;
        EXPECT_EQ(refused.out, "");
        EXPECT_NE(refused.err.find(format == unkept ? "'uniqueItems'" : "missing.json"),
                  std::string::npos)
            << refused.err;
    }
}

}  // namespace
