#include "kestrune/engine/planner.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kestrune/engine/hardware.hpp"

namespace kestrune::engine {
namespace {

// A 7B-class model: 32 layers, 8 KV heads of 128 → 0.125 MB of f16 KV cache per token.
ModelSpec seven_b(std::int64_t file_size_mb = 4000, int context_length = 32768) {
    return ModelSpec{.name = "m",
                     .file_size_mb = file_size_mb,
                     .n_params_b = 7.0,
                     .n_layers = 32,
                     .n_heads = 32,
                     .n_kv_heads = 8,
                     .head_dim = 128,
                     .context_length = context_length,
                     .is_moe = false};
}

HardwareProfile machine(std::int64_t vram_mb, std::int64_t ram_mb) {
    return HardwareProfile{.cpu_cores = 8, .total_vram_mb = vram_mb, .ram_mb = ram_mb};
}

TEST(PlanInference, ContextComesFromTheWishOrTheTrainedLengthCapped) {
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 64000)).max_context, 8192);
    EXPECT_EQ(plan_inference(seven_b(4000, 2048), machine(0, 64000)).max_context, 2048);
    EXPECT_EQ(plan_inference(seven_b(4000, 0), machine(0, 64000)).max_context, 4096);
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 64000), 16384).max_context, 16384);
}

TEST(PlanInference, KvCacheCountsKeysAndValuesOfEveryLayerInF16) {
    EXPECT_DOUBLE_EQ(kv_cache_mb(seven_b(), 8192), 1024.0);
    ModelSpec without_kv_heads = seven_b();
    without_kv_heads.n_kv_heads = 0;  // read as one KV head per query head
    EXPECT_DOUBLE_EQ(kv_cache_mb(without_kv_heads, 8192), 4096.0);
}

TEST(PlanInference, ContextIsHalvedUntilWeightsAndCacheFitInMemory) {
    // 4000 MB of weights + 0.125 MB per token: 8192 tokens need 5024 MB, 4096 need 4512.
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 5024)).max_context, 8192);
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 5023)).max_context, 4096);
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 4600)).max_context, 4096);
    // Never below 512, however little memory there is.
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 1000)).max_context, 512);
    // A wish smaller than the floor is kept.
    EXPECT_EQ(plan_inference(seven_b(), machine(0, 1000), 256).max_context, 256);
}

TEST(PlanInference, EveryLayerOnTheGpuWhenWeightsAndCacheFit) {
    const InferencePlan plan = plan_inference(seven_b(), machine(24000, 32000));
    EXPECT_EQ(plan.n_gpu_layers, 32);
    EXPECT_EQ(plan.n_cpu_layers, 0);
    EXPECT_EQ(plan.max_context, 8192);
}

TEST(PlanInference, TheGpuSplitCountsOnlyTheFreeMemory) {
    // A 24 GB card of which other programs hold all but 3000 MB plans like a 3000 MB card.
    HardwareProfile busy = machine(24000, 32000);
    busy.free_vram_mb = 3000;
    EXPECT_EQ(plan_inference(seven_b(), busy).n_gpu_layers, 15);
    // Nothing free: nothing on the GPU, the context still sized by the whole memory.
    busy.free_vram_mb = 0;
    const InferencePlan plan = plan_inference(seven_b(), busy);
    EXPECT_EQ(plan.n_gpu_layers, 0);
    EXPECT_EQ(plan.max_context, 8192);
    // Free memory that was not measured: the total counts.
    EXPECT_EQ(plan_inference(seven_b(), machine(24000, 32000)).n_gpu_layers, 32);
}

TEST(PlanInference, OnlyTheShareThatFitsGoesToTheGpu) {
    // 5024 MB needed, 157 MB per layer; 3000 MB of VRAM less the 512 MB reserve hold 15 layers.
    const InferencePlan plan = plan_inference(seven_b(), machine(3000, 32000));
    EXPECT_EQ(plan.n_gpu_layers, 15);
    EXPECT_EQ(plan.n_cpu_layers, 17);
    // Just under the need plus the reserve is no longer everything.
    EXPECT_LT(plan_inference(seven_b(), machine(5024 + 511, 32000)).n_gpu_layers, 32);
    EXPECT_EQ(plan_inference(seven_b(), machine(5024 + 512, 32000)).n_gpu_layers, 32);
}

TEST(PlanInference, NoGpuMeansEveryLayerOnTheCpu) {
    const InferencePlan plan = plan_inference(seven_b(), machine(0, 64000));
    EXPECT_EQ(plan.n_gpu_layers, 0);
    EXPECT_EQ(plan.n_cpu_layers, 32);
    EXPECT_EQ(plan_inference(seven_b(), machine(400, 64000)).n_gpu_layers, 0);
}

// The program prints these records through to_json; a renamed or reordered key would change
// what scripts read.
TEST(PlanRecords, AsJsonTheyCarryTheirFieldsInOrder) {
    const ModelSpec spec{.name = "m",
                         .file_size_mb = 4683,
                         .n_params_b = 8.3,
                         .n_layers = 32,
                         .n_heads = 32,
                         .n_kv_heads = 8,
                         .head_dim = 128,
                         .context_length = 3'000'000'000,
                         .is_moe = true};
    EXPECT_EQ(Json(spec).dump(),
              R"({"name":"m","file_size_mb":4683,"n_params_b":8.3,"n_layers":32,"n_heads":32,)"
              R"("n_kv_heads":8,"head_dim":128,"context_length":3000000000,"is_moe":true})");
    EXPECT_EQ(
        Json(InferencePlan{.n_gpu_layers = 10, .n_cpu_layers = 22, .max_context = 8192}).dump(),
        R"({"n_gpu_layers":10,"n_cpu_layers":22,"max_context":8192})");
    HardwareProfile hardware{.cpu_cores = 16, .total_vram_mb = 81920, .ram_mb = 131072};
    EXPECT_EQ(Json(hardware).dump(),
              R"({"cpu_cores":16,"total_vram_mb":81920,"ram_mb":131072,"free_vram_mb":null})");
    hardware.free_vram_mb = 80000;
    EXPECT_EQ(Json(hardware)["free_vram_mb"], 80000);
}

TEST(SplitAcrossWorkers, LayersFollowFreeMemoryAndTheLocalGpuKeepsWhatItCan) {
    const InferencePlan local{.n_gpu_layers = 32, .max_context = 4096};
    // 32 layers by 8000 : 16000 : 8000 MB free.
    const auto split = split_across_workers(
        local, seven_b(), 8000,
        {{.endpoint = "a:1", .free_mb = 16000}, {.endpoint = "b:2", .free_mb = 8000}});
    EXPECT_EQ(split.n_gpu_layers, 8);
    EXPECT_EQ(split.n_cpu_layers, 0);
    ASSERT_EQ(split.workers.size(), 2U);
    EXPECT_EQ(split.workers[0].n_layers, 16);
    EXPECT_EQ(split.workers[1].n_layers, 8);
    EXPECT_EQ(split.max_context, 4096);

    // Remainders go to the largest fractions; a GPU holding fewer layers leaves the rest on
    // the CPU; nothing reported shares equally.
    const auto uneven = split_across_workers(
        {.n_gpu_layers = 3}, seven_b(), 1000,
        {{.endpoint = "a:1", .free_mb = 1000}, {.endpoint = "b:2", .free_mb = 1000}});
    EXPECT_EQ(uneven.n_gpu_layers + uneven.n_cpu_layers, 11);
    EXPECT_EQ(uneven.n_gpu_layers, 3);
    EXPECT_EQ(uneven.workers[0].n_layers + uneven.workers[1].n_layers, 21);
    const auto unknown = split_across_workers({}, seven_b(), 0, {{.endpoint = "a:1"}});
    EXPECT_EQ(unknown.n_cpu_layers, 16);
    EXPECT_EQ(unknown.workers[0].n_layers, 16);
    EXPECT_EQ(Json(unknown)["workers"][0]["n_layers"], 16);
}

}  // namespace
}  // namespace kestrune::engine
