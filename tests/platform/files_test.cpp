#include "platform/files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/system.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace files = kestrune::platform::files;
namespace fs = std::filesystem;
using kestrune::testing::TempDir;

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

}  // namespace
