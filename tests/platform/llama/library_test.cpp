#include "platform/llama/library.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace kestrune::platform::llama {
namespace {

std::string log_of_a_verbose_load() {
    ::testing::internal::CaptureStderr();
    Llama verbose({.model_path = testing::tiny_chat_model(), .n_ctx = 256, .verbose = true});
    return ::testing::internal::GetCapturedStderr();
}

TEST(LlamaLibrary, QuietScopeSilencesEvenAVerboseModelOnItsThread) {
    EXPECT_NE(log_of_a_verbose_load(), "");
    {
        const QuietScope outer(true);
        // A verbose scope inside a quiet one does not undo it.
        const QuietScope inner(false);
        EXPECT_EQ(log_of_a_verbose_load(), "");
    }
    EXPECT_NE(log_of_a_verbose_load(), "");
}

TEST(LlamaLibrary, VersionNamesTheBuild) {
    initialise_library();
    EXPECT_FALSE(version().empty());
}

TEST(LlamaLibrary, ListsTheDevicesItComputesOnWithTheLibraryThatRunsThem) {
    const std::vector<ComputeDevice> devices = compute_devices();
    const auto cpu = std::ranges::find(devices, std::string("CPU"), &ComputeDevice::backend);
    ASSERT_NE(cpu, devices.end()) << "every build computes on the processor";
    EXPECT_FALSE(cpu->gpu);
    EXPECT_TRUE(cpu->library.starts_with("libggml")) << cpu->library;
    for (const ComputeDevice& device : devices) {
        EXPECT_LE(device.free_mb, device.total_mb) << device.name;
    }
}

}  // namespace
}  // namespace kestrune::platform::llama
