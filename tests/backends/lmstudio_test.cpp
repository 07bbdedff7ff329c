#include "kestrune/backends/lmstudio.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "support/fake_programs.hpp"
#include "support/openai_test_server.hpp"
#include "support/temp_home.hpp"

namespace kestrune::backends {
namespace {

using namespace std::chrono_literals;
using testing::FakePrograms;
using testing::OpenAITestServer;
using testing::TempHome;

std::string closed_url() {
    return "http://127.0.0.1:" + std::to_string(testing::closed_port());
}

// Every test runs with an empty home directory and its own directory of fake programs.
class LMStudioTest : public ::testing::Test {
  protected:
    TempHome home_;
    FakePrograms programs_;

    // Writes `content` to `relative` below the home directory and returns the full path.
    std::string put_file(const std::string& relative, const std::string& content) const {
        const std::filesystem::path file = home_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        return file.string();
    }
    void make_dir(const std::string& relative) const {
        std::filesystem::create_directories(home_ / relative);
    }

    // An `lms` that appends its arguments to a file in the home directory.
    void record_lms_calls() const {
        programs_.add("lms", "echo \"$*\" >> \"" + (home_ / "lms-calls") + "\"");
    }
    std::string lms_calls() const { return testing::read_text_file(home_ / "lms-calls"); }
};

TEST_F(LMStudioTest, DetectPrefersTheCommandLineProgram) {
    programs_.add("lms", R"(test "$1" = version || exit 3
printf '\n  CLI commit: abc123\n  App version: 0.3.5\n\n')");
    OpenAITestServer server;
    server.answer_models(R"({"data":[]})");
    EXPECT_EQ(LMStudioBackend(server.url()).detect(),
              (BackendInfo{.name = "lmstudio",
                           .version = "CLI commit: abc123\n  App version: 0.3.5",
                           .available = true,
                           .models_count = 0,
                           .details = "LM Studio CLI commit: abc123\n  App version: 0.3.5"}));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(LMStudioTest, DetectFallsBackToTheServerWhenLmsFails) {
    programs_.add("lms", "echo 'broken'; exit 1");
    OpenAITestServer server;
    server.answer_models(R"({"data":[]})");
    EXPECT_EQ(LMStudioBackend(server.url() + "/").detect(),
              (BackendInfo{.name = "lmstudio",
                           .version = "api",
                           .available = true,
                           .models_count = 0,
                           .details = "LM Studio at " + server.url()}));
    EXPECT_EQ(server.requests().at(0).path, "/v1/models");
    EXPECT_FALSE(server.requests().at(0).has_header("Content-Type"));
}

TEST_F(LMStudioTest, DetectGivesUpOnASlowLmsAndAnErrorStatus) {
    programs_.add("lms", "exec sleep 30");
    OpenAITestServer server;
    server.answer_models(R"({"error":"no"})", 500);
    make_dir("AppData/Roaming/LM Studio");
    EXPECT_EQ(LMStudioBackend(server.url(), {.version = 200ms}).detect(),
              (BackendInfo{.name = "lmstudio",
                           .version = "installed",
                           .available = false,
                           .models_count = 0,
                           .details = "LM Studio installed (not running)"}));
}

TEST_F(LMStudioTest, DetectLetsALmsThatMayNotRunReachTheCaller) {
    programs_.add("lms", "echo 0.3.5");
    std::filesystem::permissions(programs_.dir().path() / "lms",
                                 std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::remove);
    OpenAITestServer server;
    server.answer_models(R"({"data":[]})");
    EXPECT_THROW(LMStudioBackend(server.url()).detect(), RuntimeFailure);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(LMStudioTest, DetectRecognisesInstallationsAndTheirAbsence) {
    LMStudioBackend lmstudio(closed_url());
    const BackendInfo missing = lmstudio.detect();
    EXPECT_EQ(missing.version, "");
    EXPECT_FALSE(missing.available);
    EXPECT_EQ(missing.details, "LM Studio not found. https://lmstudio.ai");

    make_dir(".cache/lm-studio");
    const BackendInfo installed = lmstudio.detect();
    EXPECT_EQ(installed.version, "installed");
    EXPECT_FALSE(installed.available);
}

TEST_F(LMStudioTest, ListModelsTrustsTheServerListingOverTheCache) {
    put_file(".cache/lm-studio/models/org/repo/cached.gguf", "x");
    OpenAITestServer server;
    server.answer_models(R"({"data":[{"id":"qwen2.5-7b-instruct"},{"id":"phi-3"}]})");
    const auto models = LMStudioBackend(server.url()).list_models();
    ASSERT_EQ(models.size(), 2U);
    EXPECT_EQ(models[0].name, "qwen2.5-7b-instruct");
    EXPECT_EQ(models[1].name, "phi-3");

    OpenAITestServer empty;
    empty.answer_models(R"({"data":[]})");
    EXPECT_TRUE(LMStudioBackend(empty.url()).list_models().empty());
}

TEST_F(LMStudioTest, ListModelsScansTheCacheWhenTheServerFails) {
    const std::string nested =
        put_file(".cache/lm-studio/models/org/repo/model.gguf", std::string(1048576, 'x'));
    const std::string small =
        put_file("AppData/Roaming/LM Studio/models/small.gguf", std::string(1048575, 'x'));
    put_file(".cache/lm-studio/models/.hidden.gguf", "x");
    put_file(".cache/lm-studio/models/notes.txt", "x");

    const auto scanned = LMStudioBackend(closed_url()).list_models();
    ASSERT_EQ(scanned.size(), 2U);
    EXPECT_EQ(scanned[0].name, "model.gguf");
    EXPECT_EQ(scanned[0].backend, "lmstudio");
    EXPECT_EQ(scanned[0].size_mb, 1.0);
    EXPECT_EQ(scanned[0].path, nested);
    EXPECT_EQ(scanned[1].name, "small.gguf");
    EXPECT_EQ(scanned[1].size_mb, 0.0);
    EXPECT_EQ(scanned[1].path, small);

    OpenAITestServer partial;
    partial.answer_models(R"({"data":[{"id":"a"},{"id":"b"},{"name":"c"},{"id":"d"}]})");
    const auto mixed = LMStudioBackend(partial.url()).list_models();
    ASSERT_EQ(mixed.size(), 4U);
    EXPECT_EQ(mixed[0].name, "a");
    EXPECT_EQ(mixed[1].name, "b");
    EXPECT_EQ(mixed[2].name, "model.gguf");
    EXPECT_EQ(mixed[3].name, "small.gguf");

    OpenAITestServer garbled;
    garbled.answer_models("{\"data\": [");
    EXPECT_EQ(LMStudioBackend(garbled.url()).list_models().size(), 2U);
}

TEST_F(LMStudioTest, LmsCommandsAreRunWithTheirArguments) {
    record_lms_calls();
    LMStudioBackend lmstudio(closed_url());
    EXPECT_EQ(lmstudio.pull("lmstudio-community/Qwen2.5-7B-GGUF", nullptr),
              "lmstudio-community/Qwen2.5-7B-GGUF");
    lmstudio.load("qwen2.5-7b", {.n_ctx = 8192});
    EXPECT_TRUE(lmstudio.is_loaded());
    EXPECT_EQ(lmstudio.stats().model_name, "qwen2.5-7b");
    lmstudio.unload();
    EXPECT_FALSE(lmstudio.is_loaded());
    EXPECT_EQ(lms_calls(),
              "get lmstudio-community/Qwen2.5-7B-GGUF\nload qwen2.5-7b --yes\nunload --yes\n");
}

TEST_F(LMStudioTest, LmsFailuresFailAPullAndAreIgnoredByLoads) {
    LMStudioBackend lmstudio(closed_url());
    EXPECT_THROW(lmstudio.pull("m", nullptr), MissingComponentError);
    lmstudio.load("m", {});
    EXPECT_TRUE(lmstudio.is_loaded());
    lmstudio.unload();
    EXPECT_FALSE(lmstudio.is_loaded());

    programs_.add("lms", "echo 'no such model' >&2; exit 2");
    try {
        lmstudio.pull("m", nullptr);
        ADD_FAILURE() << "a failed download must not pass";
    } catch (const RuntimeFailure& failure) {
        EXPECT_STREQ(failure.what(), "lms get m failed with status 2: no such model\n");
    }
    lmstudio.load("m", {});
    EXPECT_TRUE(lmstudio.is_loaded());
}

}  // namespace
}  // namespace kestrune::backends
