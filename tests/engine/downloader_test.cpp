#include "kestrune/engine/downloader.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/json.hpp"
#include "engine/downloader_internal.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/registry/store.hpp"
#include "support/fake_hub.hpp"
#include "support/temp_home.hpp"

namespace kestrune::engine::downloader {
namespace {

using testing::FakeHub;
using testing::ScopedEnv;
using testing::TempHome;

// recommend_quant on a machine with this much GPU and main memory.
std::string quant_on(const std::string& model, std::int64_t vram_mb, std::int64_t ram_mb) {
    return recommend_quant(
        model, engine::HardwareProfile{.cpu_cores = 4, .total_vram_mb = vram_mb, .ram_mb = ram_mb});
}

TEST(RecommendQuant, LargeTierBoundaries) {
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 65536), "Q4_K_M");
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 48001), "Q4_K_M");
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 48000), "IQ2_M");
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 40000), "IQ2_M");
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 32001), "IQ2_M");
    EXPECT_EQ(quant_on("Llama-3-70B-Instruct", 0, 32000), "IQ2_XXS");
    // GPU and main memory count together.
    EXPECT_EQ(quant_on("qwen2-72b", 24000, 24001), "Q4_K_M");
    for (const char* name : {"x-122b", "x-235b", "DeepSeek-V3-671B"}) {
        EXPECT_EQ(quant_on(name, 0, 40000), "IQ2_M") << name;
    }
    // "235b" also contains the medium word "35b"; the large tier is tested first.
    EXPECT_EQ(quant_on("qwen3-235b-a22b", 0, 20000), "IQ2_XXS");
}

TEST(RecommendQuant, MediumTierBoundaries) {
    EXPECT_EQ(quant_on("gemma-3-27b", 0, 16000), "IQ2_M");
    EXPECT_EQ(quant_on("gemma-3-27b", 0, 16001), "Q2_K");
    EXPECT_EQ(quant_on("gemma-3-27b", 0, 32000), "Q2_K");
    EXPECT_EQ(quant_on("gemma-3-27b", 16000, 16001), "Q4_K_M");
    for (const char* name : {"m-24b", "m-30b", "m-32b", "m-35b"}) {
        EXPECT_EQ(quant_on(name, 0, 20000), "Q2_K") << name;
    }
}

TEST(RecommendQuant, SmallTierBoundaries) {
    EXPECT_EQ(quant_on("phi-4-14b", 0, 16000), "Q2_K");
    EXPECT_EQ(quant_on("phi-4-14b", 8000, 8001), "Q4_K_M");
    EXPECT_EQ(quant_on("mistral-nemo-12B", 0, 16001), "Q4_K_M");
}

TEST(RecommendQuant, OtherModelsLookAtGpuMemoryAlone) {
    EXPECT_EQ(quant_on("mistral-7b", 8192, 0), "Q8_0");
    EXPECT_EQ(quant_on("mistral-7b", 8001, 1000), "Q8_0");
    EXPECT_EQ(quant_on("mistral-7b", 8000, 1000000), "Q4_K_M");
    EXPECT_EQ(quant_on("mistral-7b", 0, 1000000), "Q4_K_M");
}

// The forwarding functions against a registry in a temporary HOME, fed by a loopback hub.
class DownloaderForwarding : public ::testing::Test {
  protected:
    DownloaderForwarding() {
        hub_.add_file("bartowski/SmolLM2-1.7B-Instruct-GGUF", "SmolLM2-1.7B-Instruct-Q8_0.gguf",
                      "GGUF eight bits");
        hub_.add_file("bartowski/SmolLM2-1.7B-Instruct-GGUF", "SmolLM2-1.7B-Instruct-Q4_K_M.gguf",
                      "GGUF four bits");
    }

    FakeHub hub_;
    TempHome home_;
    ScopedEnv endpoint_{"HF_ENDPOINT", hub_.endpoint()};
    ScopedEnv hf_home_{"HF_HOME", home_ / "hf"};
    ScopedEnv token_{"HF_TOKEN", std::nullopt};
};

TEST_F(DownloaderForwarding, FindInCatalogAnswersOnlyForStoredModels) {
    EXPECT_EQ(_find_in_catalog("smollm2:1.7b"), std::nullopt);
    EXPECT_EQ(resolve_local_model("smollm2:1.7b"), std::nullopt);
    EXPECT_TRUE(list_local_models().empty());

    const std::optional<std::string> path = pull_model("smollm2:1.7b", "Q8_0");
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, home_ / ".cache/kestrune/models/SmolLM2-1.7B-Instruct-Q8_0.gguf");

    const std::optional<Json> found = _find_in_catalog("smollm2:1.7b");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->dump(), Json({{"name", "smollm2:1.7b"}, {"path", *path}}).dump());
    EXPECT_EQ(resolve_local_model("smollm2:1.7b"), path);
    EXPECT_EQ(list_local_models(), registry::RegistryStore().list_local());
}

TEST_F(DownloaderForwarding, DownloadModelPullsLikePullModelWhateverTheOutputDir) {
    const auto pulled = download_model("smollm2:1.7b", "Q4_K_M", "/nowhere/at/all");
    ASSERT_TRUE(pulled.has_value());
    EXPECT_EQ(*pulled, home_ / ".cache/kestrune/models/SmolLM2-1.7B-Instruct-Q4_K_M.gguf");
    EXPECT_FALSE(std::filesystem::exists("/nowhere/at/all"));
    EXPECT_EQ(pull_model("smollm2:1.7b", "Q4_K_M"), pulled);
    EXPECT_THROW(download_model("no-such-model:1b"), NotFoundError);
}

TEST_F(DownloaderForwarding, AutoPullsWhatIsRecommendedForThisMachine) {
    const std::string quant = recommend_quant("smollm2:1.7b", engine::detect_hardware());
    EXPECT_EQ(recommend_quant("smollm2:1.7b"), quant);
    const std::optional<std::string> path = pull_model("smollm2:1.7b");
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, home_ / (".cache/kestrune/models/SmolLM2-1.7B-Instruct-" + quant + ".gguf"));
    EXPECT_EQ(list_local_models().at(0)["quant"], quant);
}

TEST_F(DownloaderForwarding, SearchForwardsToTheRegistry) {
    EXPECT_EQ(search_models("smollm"), registry::RegistryStore::search("smollm"));
    EXPECT_FALSE(search_models("smollm").empty());
}

}  // namespace
}  // namespace kestrune::engine::downloader
