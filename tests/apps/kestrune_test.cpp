// Runs the kestrune program itself, as a user would, and checks what it prints against what
// the library returns for the same request.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrune/backends/native.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/engine/evaluator.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/platform/json.hpp"
#include "kestrune/platform/process.hpp"
#include "support/cout_capture.hpp"
#include "support/test_models.hpp"

namespace {

namespace process = kestrune::platform::process;
using namespace std::chrono_literals;
using kestrune::Json;

process::RunResult kestrune_cli(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KESTRUNE_CLI_PATH);
    return process::run(arguments, 60s);
}

std::string greedy_answer(const std::string& model, const std::string& question) {
    kestrune::backends::NativeBackend backend;
    backend.load(model, {.n_ctx = 2048});
    return backend.chat({{"user", question}},
                        kestrune::backends::GenerationConfig{.max_tokens = 24, .temperature = 0.0});
}

TEST(KestruneCli, RunWithPromptStreamsTheModelsGreedyAnswer) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const std::string expected = greedy_answer(model, "the cat");
    ASSERT_FALSE(expected.empty());

    const auto result = kestrune_cli({"run", model, "-p", "the cat", "--temperature", "0",
                                      "--max-tokens", "24", "--ctx", "2048"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("  Model: Kestrune Tiny Chat\n"), std::string::npos) << result.out;
    EXPECT_TRUE(result.out.ends_with(expected + "\n")) << result.out;

    const std::string question = "How do I pull a model?";
    const std::string bundled_expected =
        greedy_answer(kestrune::testing::bundled_chat_model(), question);
    const auto bundled =
        kestrune_cli({"run", "-p", question, "--temperature", "0", "--max-tokens", "24"});
    EXPECT_EQ(bundled.exit_code, 0) << bundled.err;
    EXPECT_TRUE(bundled.out.ends_with(bundled_expected + "\n"))
        << "no REF runs the bundled chat model: " << bundled.out;
}

TEST(KestruneCli, InfoAndMetaPrintWhatTheReaderReturns) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const auto meta = kestrune::ggufmeta::read_gguf_metadata(model);
    std::string described;
    {
        kestrune::testing::CoutCapture capture;
        kestrune::ggufmeta::print_model_info(kestrune::ggufmeta::gguf_to_model_spec(model), &meta);
        described = capture.text();
    }
    const auto info = kestrune_cli({"info", model});
    EXPECT_EQ(info.exit_code, 0) << info.err;
    EXPECT_EQ(info.out, described);

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

TEST(KestruneCli, ResolveAnswersAbsolutePathsAndTheNotFoundText) {
    const std::string model = kestrune::testing::tiny_chat_model();
    const auto found = kestrune_cli({"resolve", model});
    EXPECT_EQ(found.exit_code, 0);
    EXPECT_EQ(found.out, std::filesystem::absolute(model).lexically_normal().string() + "\n");

    const auto missing = kestrune_cli({"resolve", "kestrune-no-such-model"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err,
              "Modell nicht gefunden: kestrune-no-such-model\n\nOptionen:\n"
              "  kestrune pull kestrune-no-such-model        Herunterladen\n"
              "  kestrune list --catalog          Verfügbare Modelle\n"
              "  kestrune run ./pfad/model.gguf   Lokale Datei\n"
              "  kestrune run hf://user/repo      Von HuggingFace\n"
              "  kestrune run ollama://name       Von Ollama\n");
}

TEST(KestruneCli, KvRecommendAndEvalPrintTheModulesResults) {
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

TEST(KestruneCli, MalformedCommandLinesExitTwoWithTheUsage) {
    for (const std::vector<std::string>& words : {std::vector<std::string>{},
                                                  {"bogus"},
                                                  {"info"},
                                                  {"run", "--max-tokens", "many"},
                                                  {"kv", "recommend", "--params", "7"},
                                                  {"eval", "text", "--unknown", "x"}}) {
        const auto result = kestrune_cli(words);
        EXPECT_EQ(result.exit_code, 2) << (words.empty() ? "" : words.front());
        EXPECT_NE(result.err.find("usage: kestrune"), std::string::npos);
    }
}

}  // namespace
