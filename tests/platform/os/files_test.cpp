#include "platform/os/files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/os/system.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace files = kestrune::platform::files;
namespace fs = std::filesystem;
using kestrune::testing::TempDir;
using namespace std::chrono_literals;

// Directory order is the file system's, so expectations are built from readdir order too.
std::vector<std::string> listing_order(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(Files, HomeExpansionTouchesOnlyALeadingTilde) {
    const std::string home = kestrune::platform::system::home_dir();
    EXPECT_EQ(files::expand_home("~"), home);
    EXPECT_EQ(files::expand_home("~/.ollama/models"), home + "/.ollama/models");
    EXPECT_EQ(files::expand_home("/tmp/~/x"), "/tmp/~/x");
    EXPECT_EQ(files::expand_home("~other/x"), "~other/x");
}

TEST(Files, SizeInMegabytesIsIntegerDivided) {
    TempDir dir;
    const auto path = dir.write("m.gguf", "");
    fs::resize_file(path, 3 * 1048576 - 1);
    EXPECT_EQ(files::file_size_mb(path.string()), 2);
    EXPECT_EQ(files::file_size_mb((dir.path() / "missing").string()), 0);
}

TEST(Files, WildcardsFollowShellRules) {
    EXPECT_TRUE(files::wildcard_match("*llama*.gguf", "my-llama-3.Q4_K_M.gguf"));
    EXPECT_TRUE(files::wildcard_match("*ll?ma*.gguf", "llama.gguf"));
    EXPECT_TRUE(files::wildcard_match("*[Ll]lama*.gguf", "Llama.gguf"));
    EXPECT_FALSE(files::wildcard_match("*[!L]lama*.gguf", "Llama.gguf"));
    EXPECT_FALSE(files::wildcard_match("*llama*.gguf", "llama.gguf.part"));
    EXPECT_TRUE(files::wildcard_match("*a\\b*.gguf", "a\\b.gguf")) << "backslash is literal";
}

TEST(Files, SearchListsOwnFilesFirstThenSubdirectoriesDepthFirst) {
    TempDir dir;
    dir.write("b/deep/x-model.gguf", "");
    dir.write("b/x-model.gguf", "");
    dir.write("a/x-model.gguf", "");
    dir.write("x-model.gguf", "");
    dir.write("x-model.bin", "");
    dir.write(".hidden/x-model.gguf", "");
    dir.write("a/.x-model.gguf", "");
    fs::create_directories(dir.path() / "dir-x-model.gguf");

    std::vector<std::string> expected{dir.str() + "/x-model.gguf"};
    for (const auto& sub : listing_order(dir.path())) {
        if (sub == "a") {
            expected.push_back(dir.str() + "/a/x-model.gguf");
        } else if (sub == "b") {
            expected.push_back(dir.str() + "/b/x-model.gguf");
            expected.push_back(dir.str() + "/b/deep/x-model.gguf");
        }
    }
    EXPECT_EQ(files::find_gguf(dir.str(), "model"), expected);
    EXPECT_EQ(files::find_first_gguf(dir.str(), "model"), expected.front());
    EXPECT_EQ(files::find_gguf(dir.str(), "m?del").size(), 4u) << "name wildcards are active";
    EXPECT_EQ(files::find_gguf(dir.str(), "").size(), 4u) << "an empty name matches any GGUF";
    EXPECT_TRUE(files::find_gguf(dir.str(), "absent").empty());
    EXPECT_TRUE(files::find_gguf((dir.path() / "missing").string(), "model").empty());
}

TEST(Files, SearchBelowDotGivesRelativePaths) {
    TempDir dir;
    dir.write("sub/tiny.gguf", "");
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    const auto found = files::find_first_gguf(".", "tiny");
    fs::current_path(previous);
    EXPECT_EQ(found, "./sub/tiny.gguf");
}

TEST(Files, SearchFollowsLinksButEndsOnALinkLoop) {
    TempDir dir;
    TempDir elsewhere;
    elsewhere.write("linked.gguf", "");
    dir.write("a/b/own.gguf", "");
    fs::create_directory_symlink(dir.path() / "a", dir.path() / "a/b/loop");
    fs::create_directory_symlink(elsewhere.path(), dir.path() / "outside");
    fs::create_symlink(elsewhere.path() / "linked.gguf", dir.path() / "file-link.gguf");

    const auto found = files::find_gguf(dir.str(), "");
    EXPECT_EQ(std::count(found.begin(), found.end(), dir.str() + "/a/b/own.gguf"), 1);
    EXPECT_EQ(std::count(found.begin(), found.end(), dir.str() + "/outside/linked.gguf"), 1);
    EXPECT_EQ(std::count(found.begin(), found.end(), dir.str() + "/file-link.gguf"), 1);
    EXPECT_EQ(found.size(), 3u);
}

// Trees whose links once made the search exponential or endless. Each search runs in a child
// with a deadline, so a fault fails the test instead of hanging the suite.
TEST(Files, SearchEndsOnHostileLinkTrees) {
    struct Case {
        std::string what;
        std::function<void(const fs::path&)> build;
        std::size_t found;
    };
    const std::vector<Case> cases{
        {"a chain of 22 folders each linking twice to the next",
         [](const fs::path& root) {
             fs::create_directories(root / "d22");
             std::ofstream(root / "d22/model.gguf");
             for (int level = 0; level < 22; ++level) {
                 const auto next = root / ("d" + std::to_string(level + 1));
                 fs::create_directories(root / ("d" + std::to_string(level)));
                 fs::create_directory_symlink(next, root / ("d" + std::to_string(level)) / "x");
                 fs::create_directory_symlink(next, root / ("d" + std::to_string(level)) / "y");
             }
         },
         1},
        {"a tree holding a link back to its own root",
         [](const fs::path& root) {
             fs::create_directories(root / "a/b");
             std::ofstream(root / "a/b/model.gguf");
             fs::create_directory_symlink(root, root / "a/b/up");
         },
         1},
        {"a link into /proc, which leads back to / through every process",
         [](const fs::path& root) {
             std::ofstream(root / "model.gguf");
             fs::create_directory_symlink("/proc", root / "proc");
         },
         1},
    };
    for (const auto& test : cases) {
        TempDir dir;
        test.build(dir.path());
        const auto count = kestrune::testing::run_before_deadline(
            [&] { return std::to_string(files::find_gguf(dir.str(), "model").size()); }, 60s);
        ASSERT_TRUE(count.has_value()) << test.what << ": the search did not end";
        // A directory reached through several links is searched once.
        EXPECT_EQ(*count, std::to_string(test.found)) << test.what;
    }
}

TEST(Files, NameWithSlashesMatchesTheDirectoriesAboveTheFile) {
    TempDir dir;
    dir.write("hub/TheOrg/llama-7b.Q4_K_M.gguf", "");
    dir.write("hub/OtherOrg/llama-7b.Q4_K_M.gguf", "");
    dir.write("TheOrg/nested/llama.gguf", "");
    dir.write("org/model/x.gguf", "");
    EXPECT_EQ(files::find_gguf(dir.str(), "TheOrg/llama"),
              std::vector<std::string>{dir.str() + "/hub/TheOrg/llama-7b.Q4_K_M.gguf"});
    EXPECT_EQ(files::find_first_gguf(dir.str(), "org/model/x"), dir.str() + "/org/model/x.gguf");
    EXPECT_EQ(files::find_gguf(dir.str(), "Org/llama").size(), 2u);
    EXPECT_TRUE(files::find_gguf(dir.str(), "hub/llama").empty()) << "only the nearest directory";
}

}  // namespace
