// The resolver over files on disk: scheme dispatch, existing paths and the search of common
// directories in a temporary HOME. Nothing here reaches the network.
#include "kestrune/engine/resolver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/resolver_internal.hpp"
#include "kestrune/core/errors.hpp"
#include "support/cout_capture.hpp"
#include "support/runtime_stores.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using resolver::resolve_model;
using testing::CoutCapture;
using ::testing::StrEq;
using testing::TempDir;
using testing::TempHome;
using ::testing::ThrowsMessage;
using testing::WorkingDirectory;
using testing::write_file;

TEST(SchemeTable, HoldsTheNineSchemesInOrder) {
    std::vector<std::string> names;
    for (const auto& scheme : resolver::SCHEMES) {
        names.emplace_back(scheme.name);
    }
    EXPECT_THAT(names, ::testing::ElementsAre("hf", "huggingface", "ollama", "lmstudio", "vllm",
                                              "llamacpp", "mlx", "http", "https"));
}

TEST(ResolveModel, RefusesSchemesOutsideTheTableAndShortHubPaths) {
    EXPECT_THAT([] { resolve_model("HF://user/repo"); },
                ThrowsMessage<InvalidValueError>(StrEq("Unbekanntes Protokoll: HF")));
    EXPECT_THAT([] { resolve_model("a://b://c"); },
                ThrowsMessage<InvalidValueError>(StrEq("Unbekanntes Protokoll: a")));
    EXPECT_THAT([] { resolve_model("hf://model"); },
                ThrowsMessage<InvalidValueError>(StrEq("Invalid HuggingFace path: model")));
    EXPECT_THAT([] { resolve_model("huggingface://"); },
                ThrowsMessage<InvalidValueError>(StrEq("Invalid HuggingFace path: ")));
}

TEST(ResolveModel, ExistingPathsBecomeAbsoluteWithoutAnyTest) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    const fs::path here = fs::current_path();
    write_file(dir.path() / "notes.txt", "not a model");
    fs::create_directory(dir.path() / "folder");

    EXPECT_EQ(resolve_model("notes.txt"), (here / "notes.txt").string());
    EXPECT_EQ(resolve_model("./folder/"), (here / "folder").string());
    EXPECT_EQ(resolve_model("folder/../notes.txt"), (here / "notes.txt").string());
    EXPECT_EQ(resolve_model(dir.path() / "notes.txt"), dir.path() / "notes.txt");
}

TEST(ResolveModel, RefusesHubFileNamesThatLeaveTheDownloadDirectory) {
    TempDir out;
    CoutCapture printed;
    for (const char* reference : {"hf://user/repo/../x.gguf", "hf://user/repo/sub/../../../x.gguf",
                                  "hf://user/repo//etc/x.gguf"}) {
        EXPECT_THROW(resolve_model(reference, out.path()), InvalidValueError) << reference;
    }
    EXPECT_EQ(printed.text(), "");
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(ResolveModel, RefusesDownloadAddressesWithoutAFileName) {
    TempDir out;
    CoutCapture printed;
    for (const std::string address :
         {"https://models.invalid/repo/", "http://models.invalid/.", "https://models.invalid/a/..",
          "http://models.invalid/x/?q=1"}) {
        EXPECT_THAT([&] { resolve_model(address, out.path()); },
                    ThrowsMessage<InvalidValueError>(::testing::HasSubstr(address)));
    }
    EXPECT_EQ(printed.text(), "");
    EXPECT_TRUE(fs::is_empty(out.path()));
}

// --- Search of common directories -----------------------------------------------------------

class LocalSearch : public ::testing::Test {
  protected:
    TempHome home;
    TempDir work;
    WorkingDirectory inside{work.path()};
};

TEST_F(LocalSearch, FindsBelowTheWorkingDirectoryAsARelativePath) {
    write_file(work.path() / ".hidden/tiny-chat.gguf", "x");
    write_file(work.path() / "tiny-chat.bin", "x");
    write_file(work.path() / "models/sub/tiny-chat-Q4_K_M.gguf", "x");
    write_file(home / "models/tiny-chat.gguf", "x");
    EXPECT_EQ(resolver::_search_local("tiny-chat"), "./models/sub/tiny-chat-Q4_K_M.gguf");
    EXPECT_EQ(resolver::_search_local(""), "./models/sub/tiny-chat-Q4_K_M.gguf");
    EXPECT_EQ(resolver::_search_local("absent"), std::nullopt);
}

TEST_F(LocalSearch, WalksTheDirectoriesInOrder) {
    const std::string lmstudio = home / ".cache/lm-studio/models/a/llama-lm.gguf";
    write_file(lmstudio, "x");
    EXPECT_EQ(resolver::_search_local("llama"), lmstudio);
    const std::string ollama = home / ".ollama/models/llama-ol.gguf";
    write_file(ollama, "x");
    EXPECT_EQ(resolver::_search_local("llama"), ollama);
    const std::string cache = home / ".cache/kestrune/models/llama-kc.gguf";
    write_file(cache, "x");
    EXPECT_EQ(resolver::_search_local("llama"), cache);
    const std::string models = home / "models/llama-m.gguf";
    write_file(models, "x");
    EXPECT_EQ(resolver::_search_local("llama"), models);
}

TEST_F(LocalSearch, SearchesTheDesktopOnWindowsOnly) {
    const std::string desktop = home / "Desktop/phi-mini.gguf";
    write_file(desktop, "x");
    EXPECT_EQ(resolver::_search_local("phi", "Windows"), desktop);
    EXPECT_EQ(resolver::_search_local("phi", "Linux"), std::nullopt);
}

}  // namespace
}  // namespace kestrune
