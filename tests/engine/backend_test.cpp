#include "kestrune/engine/backend.hpp"

#include <gtest/gtest.h>

#include "inference/model.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"
#include "support/test_models.hpp"

namespace kestrune::engine {
namespace {

KestruneBackend tiny_backend(InferencePlan plan = {
                                 .n_gpu_layers = 0, .n_cpu_layers = 1, .max_context = 4096}) {
    return KestruneBackend(testing::tiny_chat_model(), plan, HardwareProfile{.cpu_cores = 1},
                           ModelSpec{.name = "Kestrune Tiny Chat"});
}

const char* const kLoadingLines =
    "  Loading Kestrune Tiny Chat (CPU-only)...\n"
    "  Layers: 0 GPU + 1 CPU\n"
    "  Context: 4,096 tokens\n"
    "  Threads: 1\n"
    "  Model loaded.\n\n";

TEST(KestruneBackend, FirstChatLoadsWithTheFourLinesAndAnswers) {
    ::testing::internal::CaptureStdout();
    KestruneBackend backend = tiny_backend();
    EXPECT_EQ(backend._llm, nullptr);
    const auto reply = backend.chat("the cat", 512, 0.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kLoadingLines);
    ASSERT_TRUE(std::holds_alternative<std::string>(reply));
    EXPECT_EQ(std::get<std::string>(reply).back(), '.');
    EXPECT_EQ(backend._llm->scheduler().n_ctx(), 4096);

    // Streamed at temperature 0 it is the same answer; complete gives a continuation.
    auto streamed = backend.chat("the cat", 512, 0.0, true);
    EXPECT_EQ(std::get<TextStream>(streamed).collect(), std::get<std::string>(reply));
    EXPECT_FALSE(backend.complete("the model reads your", 8, 0.0).empty());
}

TEST(KestruneBackend, StreamingChatLoadsAtTheCallBeforeAnyPull) {
    ::testing::internal::CaptureStdout();
    KestruneBackend backend = tiny_backend();
    auto reply = backend.chat("the cat", 4, 0.0, true);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kLoadingLines);
    EXPECT_FALSE(std::get<TextStream>(reply).collect().empty());
}

TEST(KestruneBackend, AStreamKeepsItsModelWhenTheBackendReloads) {
    KestruneBackend backend = tiny_backend();
    backend.load(false);
    const auto reply = std::get<std::string>(backend.chat("the cat", 512, 0.0));

    auto stream = std::get<TextStream>(backend.chat("the cat", 512, 0.0, true));
    std::string streamed = stream.next().value_or("");
    backend.load(false);
    streamed += stream.collect();
    EXPECT_EQ(streamed, reply);
}

TEST(KestruneBackend, LoadingLinesShowTheModeAndSeparatedContext) {
    ::testing::internal::CaptureStdout();
    KestruneBackend backend =
        tiny_backend({.n_gpu_layers = 1, .n_cpu_layers = 0, .max_context = 512});
    backend.load();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("  Loading Kestrune Tiny Chat (GPU+CPU)...\n"), std::string::npos);
    EXPECT_NE(printed.find("  Context: 512 tokens\n"), std::string::npos);
}

TEST(KestruneBackend, QuietLoadPrintsNothing) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    KestruneBackend backend = tiny_backend();
    backend.load(false);
    backend.complete("the cat", 4, 0.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(KestruneBackend, MissingLibraryFailsWithTheInstallHintBeforePrinting) {
    platform::llama::ScopedMissingBinding missing;
    KestruneBackend backend = tiny_backend();
    ::testing::internal::CaptureStdout();
    try {
        backend.chat("the cat");
        FAIL() << "expected MissingComponentError";
    } catch (const MissingComponentError& failure) {
        EXPECT_EQ(std::string(failure.what()),
                  "llama.cpp not installed. Install with:\n"
                  "  scripts/setup (builds llama.cpp's libllama), then rebuild Kestrune\n"
                  "For CUDA: KESTRUNE_CUDA=1 scripts/setup (libllama with CUDA), then rebuild "
                  "Kestrune");
        EXPECT_THROW(std::rethrow_if_nested(failure), platform::llama::BindingMissing);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(backend._llm, nullptr);
}

}  // namespace
}  // namespace kestrune::engine
