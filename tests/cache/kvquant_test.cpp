#include "kestrune/cache/kvquant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/llama/binding.hpp"

namespace kestrune::cache::kvquant {
namespace {

TEST(KvQuant, TypeIdsComeFromTheStandardTableThenTheExtendedOneElseF16) {
    EXPECT_EQ(get_kv_type_id("q5_1"), 7);
    EXPECT_EQ(get_kv_type_id("f32"), 0);
    EXPECT_EQ(get_kv_type_id("q8_0"), 8);
    EXPECT_EQ(get_kv_type_id("turbo2_0"), 43);
    EXPECT_EQ(get_kv_type_id("turbo4_0"), 41);
    EXPECT_EQ(get_kv_type_id("bf16"), 1);
    EXPECT_EQ(get_kv_type_id(""), 1);
    TypeIds extended = TURBO_TYPE_IDS;
    extended.emplace_back("turbo1_0", 44);
    EXPECT_EQ(get_kv_type_id("turbo1_0", extended), 44);
    EXPECT_EQ(get_kv_type_id("turbo1_0"), 1);
}

TEST(KvQuant, RecommendationFollowsTheLadderOnTheWorkedValues) {
    const KvQuantConfig off{"f16", "f16", "f16", false};
    EXPECT_EQ(recommend_kv_config(7, 8192, 8192), off);
    EXPECT_EQ(recommend_kv_config(8, 8192, 131072), off);
    EXPECT_EQ(recommend_kv_config(70, 24576, 32768).k_type, "turbo4_0");
    EXPECT_EQ(recommend_kv_config(70, 16384, 65536).v_type, "turbo3_0");
    const KvQuantConfig smallest{"turbo2_0", "turbo2_0", "f16", true};
    EXPECT_EQ(recommend_kv_config(70, 16384, 131072), smallest);
    // Degenerate inputs fall through every strict comparison.
    EXPECT_EQ(recommend_kv_config(0, 0, 0), smallest);
    EXPECT_EQ(recommend_kv_config(7, 0, 4096), smallest);
    EXPECT_EQ(recommend_kv_config(std::numeric_limits<double>::quiet_NaN(), 8192, 4096), smallest);
}

TEST(KvQuant, LadderComparisonsAreStrict) {
    // 0.5B: weights 250 MB; 650 MB free 400; a context of 200 * 1024 needs exactly 200 MB.
    EXPECT_EQ(recommend_kv_config(0.5, 650, 200 * 1024).k_type, "turbo4_0");
    EXPECT_EQ(recommend_kv_config(0.5, 650, 400 * 1024).k_type, "turbo3_0");
    EXPECT_EQ(recommend_kv_config(0.5, 650, 199 * 1024).k_type, "f16");
}

TEST(KvQuant, TablesKeepTheirRowsAndOrder) {
    ASSERT_EQ(COMPRESSION_RATIOS.size(), 7U);
    EXPECT_EQ(COMPRESSION_RATIOS.front().first, "f16");
    EXPECT_EQ(COMPRESSION_RATIOS.back(), (std::pair<std::string, double>{"turbo2_0", 6.4}));
    for (const auto& [name, ratio] : COMPRESSION_RATIOS) {
        EXPECT_NE(name, "q4_1");
    }
    EXPECT_EQ(TURBO_TYPE_IDS[1], (std::pair<std::string, int>{"turbo3_0", 42}));
}

TEST(KvQuant, SupportFollowsTheBindingAndPrintsNothing) {
    EXPECT_TRUE(check_kvquant_support());
    ::testing::internal::CaptureStdout();
    {
        platform::llama::ScopedMissingBinding missing;
        EXPECT_FALSE(check_kvquant_support());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace kestrune::cache::kvquant
