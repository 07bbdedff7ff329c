#include "kestrune/registry/store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "support/cout_capture.hpp"
#include "support/fake_hub.hpp"
#include "support/temp_home.hpp"

namespace kestrune::registry {
namespace {

namespace fs = std::filesystem;
using testing::CoutCapture;
using testing::FakeHub;
using ::testing::HasSubstr;
using testing::ScopedEnv;
using testing::TempHome;

constexpr const char* kRepo = "bartowski/Qwen2.5-0.5B-Instruct-GGUF";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> names_of(const std::vector<Json>& records) {
    std::vector<std::string> names;
    for (const Json& record : records) {
        names.push_back(record["name"].get<std::string>());
    }
    return names;
}

class Registry : public ::testing::Test {
  protected:
    Registry() {
        // Listed by path: the Q4_0_4_4 file comes before the Q4_0 one, the projector before the
        // Q8_0 model in its subfolder.
        hub_.add_file(kRepo, "Qwen2.5-0.5B-Instruct-IQ4_XS.gguf", "iq4");
        hub_.add_file(kRepo, "Qwen2.5-0.5B-Instruct-Q4_0_4_4.gguf", "q4_0_4_4");
        hub_.add_file(kRepo, "qwen2.5-0.5b-instruct-q4_0.gguf", "q4_0");
        hub_.add_file(kRepo, "Qwen2.5-0.5B-Instruct-Q4_K_L.gguf", "q4_k_l");
        hub_.add_file(kRepo, "Qwen2.5-0.5B-Instruct-q4_k_m.gguf", std::string(2 * 1048576, 'm'));
        hub_.add_file(kRepo, "mmproj-Qwen2.5-0.5B-Q8_0.gguf", "projector");
        hub_.add_file(kRepo, "sub/Qwen2.5-0.5B-Instruct-Q8_0.gguf", "q8_0");
        hub_.add_file("someone/qwen-tiny-GGUF", "qwen-tiny-Q4_K_M.gguf", "tiny");
    }

    std::string stored(const std::string& file) const {
        return home_ / (".cache/kestrune/models/" + file);
    }

    FakeHub hub_;
    TempHome home_;
    ScopedEnv endpoint_{"HF_ENDPOINT", hub_.endpoint()};
    ScopedEnv hf_home_{"HF_HOME", home_ / "hf"};
    ScopedEnv token_{"HF_TOKEN", std::nullopt};
};

TEST_F(Registry, PullStoresTheFileCarryingTheQuantTag) {
    RegistryStore store;
    EXPECT_EQ(store.pull("qwen2.5:0.5b", "Q4_0"), stored("qwen2.5-0.5b-instruct-q4_0.gguf"));
    EXPECT_EQ(read_file(stored("qwen2.5-0.5b-instruct-q4_0.gguf")), "q4_0");
    // Case-insensitive, and never a longer tag that starts the same.
    EXPECT_EQ(store.pull("qwen2.5:0.5b", "Q4_K_M"), stored("Qwen2.5-0.5B-Instruct-q4_k_m.gguf"));
    // Files in subfolders are found; the projector is passed over.
    EXPECT_EQ(store.pull("qwen2.5:0.5b", "q8_0"), stored("sub/Qwen2.5-0.5B-Instruct-Q8_0.gguf"));
    EXPECT_EQ(read_file(stored("sub/Qwen2.5-0.5B-Instruct-Q8_0.gguf")), "q8_0");
}

TEST_F(Registry, ResolveAndListAnswerFromTheIndex) {
    RegistryStore store;
    EXPECT_EQ(store.resolve("qwen2.5:0.5b"), std::nullopt);
    const std::string path = store.pull("qwen2.5:0.5b", "Q4_K_M").value();

    // A new store reads the same index.
    RegistryStore again;
    EXPECT_EQ(again.resolve("qwen2.5:0.5b"), path);
    EXPECT_EQ(again.resolve("Qwen2.5-0.5B-Instruct-q4_k_m.gguf"), path);
    EXPECT_EQ(again.resolve("Qwen2.5-0.5B-Instruct-q4_k_m"), path);
    EXPECT_EQ(again.resolve("llama3.2:1b"), std::nullopt);
    EXPECT_EQ(again.resolve("Qwen2.5-0.5B"), std::nullopt);

    const std::vector<Json> listed = again.list_local();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_EQ(listed[0].dump(), Json({{"name", "qwen2.5:0.5b"},
                                      {"path", path},
                                      {"size_mb", 2},
                                      {"quant", "Q4_K_M"},
                                      {"repo", kRepo}})
                                    .dump());

    // The latest pull of a name is what it resolves to; both stay listed.
    const std::string q4_0 = store.pull("qwen2.5:0.5b", "Q4_0").value();
    EXPECT_EQ(again.resolve("qwen2.5:0.5b"), q4_0);
    EXPECT_EQ(again.list_local().size(), 2U);

    // A file deleted behind the store's back is no longer stored.
    fs::remove(q4_0);
    EXPECT_EQ(again.resolve("qwen2.5:0.5b"), path);
    EXPECT_EQ(again.list_local().size(), 1U);
}

TEST_F(Registry, PullingAStoredModelAgainAsksTheHubNothing) {
    RegistryStore store;
    const auto first = store.pull("qwen2.5:0.5b", "Q4_0");
    const std::size_t asked = hub_.requests().size();
    EXPECT_EQ(store.pull("QWEN2.5:0.5B", "Q4_0"), first);
    EXPECT_EQ(hub_.requests().size(), asked);
    EXPECT_EQ(store.list_local().size(), 1U);
}

TEST_F(Registry, RemoveDeletesTheFilesOfANameAndOnlyThose) {
    hub_.add_file("bartowski/SmolLM2-1.7B-Instruct-GGUF", "SmolLM2-1.7B-Instruct-Q4_K_M.gguf",
                  "smol");
    RegistryStore store;
    const auto q4 = store.pull("qwen2.5:0.5b", "Q4_0");
    const auto q8 = store.pull("qwen2.5:0.5b", "Q8_0");
    const auto tiny = store.pull("smollm2:1.7b", "Q4_K_M");
    ASSERT_TRUE(q4 && q8 && tiny);
    EXPECT_TRUE(store.remove("no-such-model").empty());

    // Both quantisations of the name go, by its catalogue name in any case.
    EXPECT_THAT(store.remove("QWEN2.5:0.5b"), ::testing::UnorderedElementsAre(*q4, *q8));
    EXPECT_FALSE(fs::exists(*q4));
    EXPECT_FALSE(fs::exists(*q8));
    EXPECT_EQ(store.resolve("qwen2.5:0.5b"), std::nullopt);
    EXPECT_THAT(names_of(store.list_local()), ::testing::ElementsAre("smollm2:1.7b"));

    // By file name too; a file already deleted by hand still leaves the index.
    fs::remove(*tiny);
    EXPECT_THAT(store.remove(fs::path(*tiny).stem().string()), ::testing::ElementsAre(*tiny));
    EXPECT_TRUE(store.remove("smollm2:1.7b").empty());
}

TEST_F(Registry, UnknownNamesAndMissingQuantsAreNotFound) {
    RegistryStore store;
    try {
        store.pull("no-such-model:3b", "Q4_K_M");
        FAIL() << "pulled an unknown model";
    } catch (const NotFoundError& error) {
        EXPECT_THAT(error.what(), HasSubstr("no-such-model:3b"));
    }
    EXPECT_TRUE(hub_.requests().empty());
    try {
        store.pull("qwen2.5:0.5b", "Q3_K_S");
        FAIL() << "pulled a quantisation the repository lacks";
    } catch (const NotFoundError& error) {
        EXPECT_THAT(error.what(), HasSubstr("Q3_K_S"));
        EXPECT_THAT(error.what(), HasSubstr(kRepo));
    }
    EXPECT_TRUE(store.list_local().empty());
}

TEST_F(Registry, AnUnreadableIndexReadsAsEmptyAndIsKeptAsideOnThePull) {
    fs::create_directories(home_ / ".cache/kestrune/models");
    std::ofstream(home_ / ".cache/kestrune/models/index.json") << "{ not json";
    std::ofstream(home_ / ".cache/kestrune/models/index.json.damaged") << "older";
    RegistryStore store;
    EXPECT_EQ(store.resolve("qwen2.5:0.5b"), std::nullopt);
    EXPECT_TRUE(store.list_local().empty());
    CoutCapture printed;
    EXPECT_EQ(store.pull("qwen2.5:0.5b", "Q4_0"), stored("qwen2.5-0.5b-instruct-q4_0.gguf"));
    EXPECT_EQ(store.list_local().size(), 1U);
    EXPECT_EQ(read_file(stored("index.json.damaged.1")), "{ not json");
    EXPECT_EQ(read_file(stored("index.json.damaged")), "older");
    EXPECT_THAT(printed.text(), HasSubstr("kept as " + stored("index.json.damaged.1")));
}

// Hand-edited indexes that once crashed a look-up: each row is the index's "models" list (the
// word FILE stands for a stored file's path) and what resolve and list then answer.
TEST_F(Registry, RecordsOfTheWrongTypeReadAsAbsent) {
    const std::string file = stored("m-Q4_0.gguf");
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "m";
    const struct {
        std::string models;
        bool resolved;
        std::size_t listed;
    } cases[] = {
        {R"([1, null, true, "text", []])", false, 0},
        {R"([{"name": "qwen2.5:0.5b", "path": 7}])", false, 0},
        {R"([{"name": ["qwen2.5:0.5b"], "path": {}, "quant": 4}])", false, 0},
        {R"([null, {"name": 3, "path": "FILE", "quant": null}, 2])", false, 1},
        {R"([0, {"name": "qwen2.5:0.5b", "path": "FILE", "repo": 1.5}, {"path": null}])", true, 1},
    };
    for (const auto& test : cases) {
        std::string models = test.models;
        if (const auto at = models.find("FILE"); at != std::string::npos) {
            models.replace(at, 4, file);
        }
        std::ofstream(stored("index.json")) << R"({"models": )" << models << "}";
        RegistryStore store;
        EXPECT_EQ(store.resolve("qwen2.5:0.5b").has_value(), test.resolved) << test.models;
        EXPECT_EQ(store.list_local().size(), test.listed) << test.models;
        EXPECT_EQ(store.resolve("m-Q4_0").has_value(), test.listed == 1) << test.models;
    }
    // A pull over such an index keeps its records and adds its own.
    EXPECT_EQ(RegistryStore().pull("qwen2.5:0.5b", "Q4_0"),
              stored("qwen2.5-0.5b-instruct-q4_0.gguf"));
    EXPECT_EQ(RegistryStore().list_local().size(), 2U);
    EXPECT_FALSE(fs::exists(stored("index.json.damaged")));
}

TEST_F(Registry, AnUnsafeNameInTheListingIsPassedOverForTheNextOne) {
    hub_.add_file("bartowski/Qwen2.5-3B-Instruct-GGUF", "../escape-Q4_0.gguf", "outside");
    hub_.add_file("bartowski/Qwen2.5-3B-Instruct-GGUF", "safe-Q4_0.gguf", "inside");
    EXPECT_EQ(RegistryStore().pull("qwen2.5:3b", "Q4_0"), stored("safe-Q4_0.gguf"));
    EXPECT_FALSE(fs::exists(home_ / ".cache/kestrune/escape-Q4_0.gguf"));
    // With nothing safe left, there is nothing to pull.
    hub_.add_file("bartowski/Qwen2.5-3B-Instruct-GGUF", "/abs-Q8_0.gguf", "outside");
    EXPECT_THROW(RegistryStore().pull("qwen2.5:3b", "Q8_0"), NotFoundError);
}

TEST_F(Registry, SearchJoinsTheCatalogueAndTheHub) {
    const std::vector<Json> found = RegistryStore::search("QWEN");
    const std::vector<std::string> names = names_of(found);
    EXPECT_THAT(names, ::testing::Contains("qwen2.5:0.5b"));
    EXPECT_THAT(names, ::testing::Contains("qwen2.5:7b"));
    // The hub adds what the catalogue lacks, and never a catalogue repository twice.
    EXPECT_EQ(found.back()["name"], "someone/qwen-tiny-GGUF");
    EXPECT_EQ(found.back()["source"], "huggingface");
    EXPECT_EQ(std::ranges::count(names, kRepo), 0);
    for (const Json& record : found) {
        EXPECT_THAT(record["repo"].get<std::string>(), ::testing::Not(::testing::IsEmpty()));
    }
    EXPECT_THAT(names_of(RegistryStore::search("llama3.2")),
                ::testing::ElementsAre("llama3.2:1b", "llama3.2:3b"));
}

TEST_F(Registry, SearchWithoutAHubStillAnswersFromTheCatalogue) {
    ScopedEnv unreachable("HF_ENDPOINT", "http://127.0.0.1:1");
    const std::vector<std::string> names = names_of(RegistryStore::search("qwen"));
    EXPECT_THAT(names, ::testing::Contains("qwen2.5:7b"));
    EXPECT_THAT(names, ::testing::Not(::testing::Contains("someone/qwen-tiny-GGUF")));
}

}  // namespace
}  // namespace kestrune::registry
