#include "registry/hub.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "kestrune/core/errors.hpp"
#include "kestrune/core/output.hpp"
#include "support/fake_hub.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"
#include "support/terminal.hpp"

namespace kestrune::registry::hub {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::FakeHub;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedEnv;
using testing::TempDir;

constexpr const char* kRepo = "owner/model-GGUF";

// Every byte value, in an order no off-by-one can reproduce.
std::string random_bytes(std::size_t size) {
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

class HubClient : public ::testing::Test {
  protected:
    HubClient() {
        hub_.add_file(kRepo, "README.md", "# model");
        hub_.add_file(kRepo, "model-Q4_K_M.gguf", weights_);
        hub_.add_file(kRepo, "quants/deep/model-Q8_0.gguf", "eight");
        hub_.add_file(kRepo, "quants/model-Q2_K.gguf", "two");
    }

    DownloadOptions into(const TempDir& dir, bool resume = true) const {
        DownloadOptions options;
        options.local_dir = dir.str();
        options.resume = resume;
        return options;
    }

    std::vector<std::string> ranges_asked() const {
        std::vector<std::string> ranges;
        for (const FakeHub::SeenRequest& seen : hub_.requests()) {
            if (seen.path.find("/resolve/main/") != std::string::npos) {
                ranges.push_back(seen.range);
            }
        }
        return ranges;
    }

    const std::string weights_ = random_bytes(300'000);
    FakeHub hub_;
    TempDir hf_home_;
    TempDir target_;
    ScopedEnv endpoint_{"HF_ENDPOINT", hub_.endpoint() + "/"};
    ScopedEnv home_{"HF_HOME", hf_home_.str()};
    ScopedEnv token_{"HF_TOKEN", std::nullopt};
};

TEST_F(HubClient, ListingFollowsEveryPageAndKeepsOnlyFiles) {
    hub_.set_page_size(2);  // 6 entries (two of them folders) over three pages
    const std::vector<RepoFile> files = list_repo_tree(kRepo);

    std::vector<std::string> names;
    for (const RepoFile& file : files) {
        names.push_back(file.rfilename);
    }
    EXPECT_THAT(names, ElementsAre("README.md", "model-Q4_K_M.gguf", "quants/deep/model-Q8_0.gguf",
                                   "quants/model-Q2_K.gguf"));
    EXPECT_EQ(files[1].size, 300'000);
    EXPECT_EQ(files[3].size, 3);
    EXPECT_EQ(hub_.count_requests("/api/models/owner/model-GGUF/tree/main"), 3U);
    EXPECT_THAT(hub_.requests().front().query, HasSubstr("recursive=true"));
}

TEST_F(HubClient, MissingRepositoryOrFileIsNotFoundNamingIt) {
    try {
        list_repo_tree("nobody/nothing");
        FAIL() << "listing a missing repository succeeded";
    } catch (const NotFoundError& error) {
        EXPECT_THAT(error.what(), HasSubstr("nobody/nothing"));
    }
    try {
        hf_hub_download(kRepo, "absent-Q4_0.gguf", into(target_));
        FAIL() << "downloading a missing file succeeded";
    } catch (const NotFoundError& error) {
        EXPECT_THAT(error.what(), HasSubstr("absent-Q4_0.gguf"));
        EXPECT_THAT(error.what(), HasSubstr(kRepo));
    }
    EXPECT_TRUE(fs::is_empty(target_.path()));
}

TEST_F(HubClient, DownloadsIntoTheLocalDirOrTheHubCache) {
    const std::string local = hf_hub_download(kRepo, "quants/deep/model-Q8_0.gguf", into(target_));
    EXPECT_EQ(local, (target_.path() / "quants/deep/model-Q8_0.gguf").string());
    EXPECT_EQ(read_file(local), "eight");

    const std::string cached = hf_hub_download(kRepo, "model-Q4_K_M.gguf");
    EXPECT_EQ(cached,
              (hf_home_.path() / "hub/models--owner--model-GGUF/snapshots/main/model-Q4_K_M.gguf")
                  .string());
    EXPECT_EQ(read_file(cached), weights_);
    EXPECT_FALSE(fs::exists(cached + ".incomplete"));

    // A file already in place is not fetched again.
    const std::size_t fetched = ranges_asked().size();
    EXPECT_EQ(hf_hub_download(kRepo, "model-Q4_K_M.gguf"), cached);
    EXPECT_EQ(ranges_asked().size(), fetched);
}

TEST_F(HubClient, TokenIsSentAsBearerButNeverShown) {
    ScopedEnv token("HF_TOKEN", "hf_secret_token");
    hf_hub_download(kRepo, "README.md", into(target_));
    list_repo_tree(kRepo);
    for (const FakeHub::SeenRequest& seen : hub_.requests()) {
        EXPECT_EQ(seen.authorization, "Bearer hf_secret_token") << seen.path;
    }
    try {
        hf_hub_download(kRepo, "missing.gguf", into(target_));
        FAIL() << "downloading a missing file succeeded";
    } catch (const Error& error) {
        EXPECT_THAT(error.what(), Not(HasSubstr("hf_secret_token")));
    }
}

TEST_F(HubClient, TokenGoesOnlyToTheEndpointsOwnOrigin) {
    ScopedEnv token("HF_TOKEN", "hf_secret_token");
    std::string elsewhere_saw = "not asked";
    testing::LoopbackServer elsewhere([&](httplib::Server& s) {
        s.Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
            elsewhere_saw = req.get_header_value("Authorization");
            res.set_content("[]", "application/json");
        });
    });
    testing::LoopbackServer listing([&](httplib::Server& s) {
        s.Get(".*", [&](const httplib::Request&, httplib::Response& res) {
            res.set_header("Link", "<" + elsewhere.url("/next") + ">; rel=\"next\"");
            res.set_content(R"([{"type":"file","path":"a.gguf","size":1}])", "application/json");
        });
    });
    ScopedEnv endpoint("HF_ENDPOINT", listing.base_url());
    EXPECT_EQ(list_repo_tree(kRepo).size(), 1U);
    EXPECT_EQ(elsewhere_saw, "");
}

TEST_F(HubClient, NamesWithControlCharactersAreRefusedAndLeftOutOfListings) {
    for (const char* name : {"evil\x1b[2J.gguf", "a\rb.gguf", "quants/\x7f.gguf"}) {
        hub_.add_file(kRepo, name, "x");
        EXPECT_THROW(hf_hub_download(kRepo, name, into(target_)), InvalidValueError);
    }
    std::vector<std::string> listed;
    for (const RepoFile& file : list_repo_tree(kRepo)) {
        listed.push_back(file.rfilename);
    }
    EXPECT_THAT(listed, ElementsAre("README.md", "model-Q4_K_M.gguf", "quants/deep/model-Q8_0.gguf",
                                    "quants/model-Q2_K.gguf"));
}

TEST_F(HubClient, ResumeContinuesAPartialFileWithARangeRequest) {
    const fs::path target = target_.path() / "model-Q4_K_M.gguf";
    write_file(target.string() + ".incomplete", weights_.substr(0, 100'000));

    EXPECT_EQ(hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_)), target.string());
    EXPECT_EQ(read_file(target), weights_);
    EXPECT_FALSE(fs::exists(target.string() + ".incomplete"));
    EXPECT_THAT(ranges_asked(), ElementsAre("bytes=100000-"));
}

TEST_F(HubClient, AnInterruptedDownloadLeavesOnlyThePartialFileAndResumesLater) {
    const fs::path target = target_.path() / "model-Q4_K_M.gguf";
    hub_.cut_downloads_after(120'000);
    EXPECT_THROW(hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_)), Error);
    EXPECT_FALSE(fs::exists(target));
    const auto kept = fs::file_size(target.string() + ".incomplete");
    EXPECT_GT(kept, 0U);
    EXPECT_LE(kept, 120'000U);

    hub_.cut_downloads_after(std::nullopt);
    hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_));
    EXPECT_EQ(read_file(target), weights_);
    EXPECT_THAT(ranges_asked(), ElementsAre("", "bytes=" + std::to_string(kept) + "-"));
}

TEST_F(HubClient, APartialFileTheServerCannotContinueIsReplaced) {
    const fs::path target = target_.path() / "model-Q4_K_M.gguf";
    const std::string partial = target.string() + ".incomplete";

    // A server that ignores ranges sends everything again: nothing may be appended.
    hub_.set_honour_ranges(false);
    write_file(partial, weights_.substr(0, 5000));
    hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_));
    EXPECT_EQ(read_file(target), weights_);

    // A stale partial file longer than the file: the range cannot be satisfied.
    fs::remove(target);
    hub_.set_honour_ranges(true);
    write_file(partial, weights_ + "left over from something else");
    hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_));
    EXPECT_EQ(read_file(target), weights_);

    // Without resume a partial file is ignored and no range is asked.
    fs::remove(target);
    write_file(partial, "garbage");
    const std::size_t asked = ranges_asked().size();
    hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_, false));
    EXPECT_EQ(read_file(target), weights_);
    EXPECT_EQ(ranges_asked().back(), "");
    EXPECT_EQ(ranges_asked().size(), asked + 1);
}

TEST_F(HubClient, NamesLeavingTheTargetDirectoryAreRefusedBeforeAnythingHappens) {
    for (const char* name :
         {"../escape.gguf", "/etc/passwd", "quants/../../escape.gguf", "..", "", "quants/", "."}) {
        EXPECT_THROW(hf_hub_download(kRepo, name, into(target_)), InvalidValueError) << name;
        EXPECT_THROW(hf_hub_download(kRepo, name), InvalidValueError) << name;
    }
    EXPECT_TRUE(fs::is_empty(target_.path()));
    EXPECT_TRUE(fs::is_empty(hf_home_.path()));
    EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(HubClient, SnapshotDownloadFetchesEveryFileIntoTheCache) {
    const std::string snapshot = snapshot_download(kRepo);
    EXPECT_EQ(snapshot,
              (hf_home_.path() / "hub/models--owner--model-GGUF/snapshots/main").string());
    EXPECT_EQ(read_file(fs::path(snapshot) / "README.md"), "# model");
    EXPECT_EQ(read_file(fs::path(snapshot) / "model-Q4_K_M.gguf"), weights_);
    EXPECT_EQ(read_file(fs::path(snapshot) / "quants/deep/model-Q8_0.gguf"), "eight");
    EXPECT_EQ(read_file(fs::path(snapshot) / "quants/model-Q2_K.gguf"), "two");
}

TEST_F(HubClient, NoProgressBarWhenStandardErrorIsNotATerminal) {
    ::testing::internal::CaptureStderr();
    hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(HubClient, ReportsProgressWithTheFileAsItsLabel) {
    long long last_done = -1;
    std::string label;
    set_download_progress([&](const DownloadProgress& progress) {
        EXPECT_GE(progress.done, last_done) << "progress never goes back";
        last_done = progress.done;
        label = progress.label;
    });
    const std::string shown = testing::stderr_on_a_terminal(
        [&] { hf_hub_download(kRepo, "model-Q4_K_M.gguf", into(target_)); });
    set_download_progress({});
    EXPECT_EQ(shown, "");
    EXPECT_THAT(label, HasSubstr("model-Q4_K_M.gguf"));
    EXPECT_EQ(last_done, static_cast<long long>(weights_.size()));
}

TEST_F(HubClient, ModelSearchAsksForTheQueryAndFilter) {
    hub_.add_file("someone/other-model", "weights.safetensors", "x");
    EXPECT_THAT(list_models("MODEL", "gguf"), ElementsAre(kRepo));
    EXPECT_THAT(list_models("model"), ElementsAre(kRepo, "someone/other-model"));
}

}  // namespace
}  // namespace kestrune::registry::hub
