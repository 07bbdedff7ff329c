#include "kestrune/backends/native.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "core/json.hpp"
#include "inference/model.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/library.hpp"
#include "support/deadline.hpp"
#include "support/fake_hub.hpp"
#include "support/gguf_header.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace kestrune::backends {
namespace {

namespace fs = std::filesystem;
namespace llama = platform::llama;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Optional;

constexpr int kSmallContext = 256;
const Messages kQuestion = {{"user", "the cat"}};
const GenerationConfig kGreedy = {.max_tokens = 24, .temperature = 0.0};

template <typename Failure>
void expect_failure(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected a failure with \"" << message << "\"";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.what(), message);
    }
}

NativeBackend tiny_backend(LoadOptions options = {.n_ctx = kSmallContext, .n_threads = 1}) {
    NativeBackend backend;
    backend.load(testing::tiny_chat_model(), options);
    return backend;
}

TEST(NativeBackend, DetectReportsTheLibraryOrTheInstallHint) {
    NativeBackend backend;
    const BackendInfo info = backend.detect();
    EXPECT_EQ(info.name, "native");
    EXPECT_TRUE(info.available);
    EXPECT_EQ(info.version, llama::version());
    EXPECT_EQ(info.details, "llama.cpp (direct GGUF inference)");

    llama::ScopedMissingBinding missing;
    const BackendInfo absent = backend.detect();
    EXPECT_EQ(absent.name, "native");
    EXPECT_FALSE(absent.available);
    EXPECT_EQ(absent.version, "");
    EXPECT_THAT(absent.details, HasSubstr("scripts/setup"));
    EXPECT_THROW(backend.load(testing::tiny_chat_model(), {}), MissingComponentError);
    EXPECT_EQ(backend.stats().model_name, "")
        << "a missing binding fails before anything is recorded";
}

TEST(NativeBackend, KvCacheTypesCarryTheirIdentifierAndUnknownNamesBecomeF16) {
    EXPECT_EQ(kv_cache_type("f16"), (llama::KvType{"f16", 1}));
    EXPECT_EQ(kv_cache_type("q8_0"), (llama::KvType{"q8_0", 8}));
    EXPECT_EQ(kv_cache_type("turbo3_0"), (llama::KvType{"turbo3_0", 42}));
    EXPECT_EQ(kv_cache_type("bf16"), (llama::KvType{"f16", 1}));
    EXPECT_EQ(kv_cache_type(""), (llama::KvType{"f16", 1}));
}

TEST(NativeBackend, LoadRecordsItsSettingsAndPassesKvTypesOnlyWhenBothAreQuantised) {
    NativeBackend backend = tiny_backend({.n_ctx = kSmallContext, .n_threads = 6});
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name,
              std::filesystem::path(testing::tiny_chat_model()).filename());
    EXPECT_EQ(backend.load_settings()->dump(),
              R"({"n_ctx":256,"n_gpu_layers":-1,"n_threads":6,"kv_type_k":"f16"})");
    EXPECT_EQ(backend.model()->weights().params().n_threads, 6);
    EXPECT_EQ(backend.model()->weights().params().n_gpu_layers, -1);
    EXPECT_FALSE(backend.model()->weights().params().verbose);
    EXPECT_EQ(backend.model()->weights().params().type_k, std::nullopt);

    backend.load(testing::tiny_chat_model(),
                 {.n_ctx = kSmallContext, .n_threads = 1, .kv_type_k = "q8_0", .kv_type_v = "f16"});
    EXPECT_EQ(backend.model()->weights().params().type_k, std::nullopt);
    EXPECT_EQ(backend.model()->weights().params().type_v, std::nullopt);
    EXPECT_EQ((*backend.load_settings())["kv_type_k"], "q8_0");

    backend.load(
        testing::tiny_chat_model(),
        {.n_ctx = kSmallContext, .n_threads = 1, .kv_type_k = "q8_0", .kv_type_v = "q8_0"});
    EXPECT_THAT(backend.model()->weights().params().type_k, Optional(llama::KvType{"q8_0", 8}));
    EXPECT_THAT(backend.model()->weights().params().type_v, Optional(llama::KvType{"q8_0", 8}));
    EXPECT_FALSE(backend.chat(kQuestion, kGreedy).empty()) << "the quantised cache generates";

    backend.load(
        testing::tiny_chat_model(),
        {.n_ctx = kSmallContext, .n_threads = 1, .kv_type_k = "q8_0", .kv_type_v = "no-such-type"});
    EXPECT_THAT(backend.model()->weights().params().type_k, Optional(llama::KvType{"q8_0", 8}));
    EXPECT_THAT(backend.model()->weights().params().type_v, Optional(llama::KvType{"f16", 1}));
}

TEST(NativeBackend, TokenCountsOfEachAnswerAreTheBindingsOwn) {
    NativeBackend backend = tiny_backend({.n_ctx = 1024});
    const ChatReply reply =
        backend.chat_reply(kQuestion, GenerationConfig{.max_tokens = 24, .temperature = 0.0});
    const TokenCounts first = backend.last_token_counts();
    EXPECT_EQ(first.prompt_tokens, backend.count_prompt_tokens(kQuestion));
    EXPECT_EQ(first.evaluated_tokens, first.prompt_tokens) << "nothing was cached yet";
    EXPECT_GT(first.generated_tokens, 1);
    EXPECT_LE(first.generated_tokens, 24);

    // The next turn extends the conversation: only its new tokens are evaluated, and a
    // stream counts what it generates too.
    Messages next = kQuestion;
    next.emplace_back("assistant", reply.content);
    next.emplace_back("user", "the model");
    auto pieces = backend.stream(next, GenerationConfig{.max_tokens = 5, .temperature = 0.0});
    ASSERT_TRUE(pieces.next());
    EXPECT_EQ(backend.last_token_counts().generated_tokens, 1) << "counted as it goes";
    while (pieces.next()) {
    }
    const TokenCounts second = backend.last_token_counts();
    EXPECT_EQ(second.prompt_tokens, backend.count_prompt_tokens(next));
    EXPECT_LT(second.evaluated_tokens, second.prompt_tokens);
    EXPECT_EQ(second.generated_tokens, 5);
}

TEST(NativeBackend, KvTypeInUseIsTheOneTheModelWasBuiltWith) {
    EXPECT_EQ(tiny_backend().kv_type_in_use(), "f16");
    EXPECT_EQ(tiny_backend({.n_ctx = kSmallContext, .kv_type_k = "q8_0", .kv_type_v = "q8_0"})
                  .kv_type_in_use(),
              "q8_0");
    // Refused by this build: the fall-back is what is reported.
    EXPECT_EQ(
        tiny_backend({.n_ctx = kSmallContext, .kv_type_k = "turbo3_0", .kv_type_v = "turbo3_0"})
            .kv_type_in_use(),
        "f16");
}

TEST(NativeBackend, KvTypesTheLibraryRefusesAreDroppedInOneRetry) {
    // This llama.cpp build has no turbo types: 42 is refused and the model is built without
    // KV cache types.
    NativeBackend backend = tiny_backend(
        {.n_ctx = kSmallContext, .n_threads = 1, .kv_type_k = "turbo3_0", .kv_type_v = "turbo3_0"});
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.model()->weights().params().type_k, std::nullopt);
    EXPECT_EQ(backend.model()->weights().params().type_v, std::nullopt);
    EXPECT_EQ((*backend.load_settings())["kv_type_k"], "turbo3_0");
    EXPECT_FALSE(backend.chat(kQuestion, kGreedy).empty());

    // Other failures are not retried, and the settings stay recorded.
    EXPECT_THROW(
        backend.load(
            "/nonexistent/other.gguf",
            {.n_ctx = 512, .n_threads = 1, .kv_type_k = "turbo3_0", .kv_type_v = "turbo3_0"}),
        NotFoundError);
    EXPECT_EQ(backend.stats(), (BackendStats{"other.gguf", 512}));
    EXPECT_TRUE(backend.is_loaded()) << "the previous model stays when a new one fails";
}

TEST(NativeBackend, ThreadCountDefaultsToTheLogicalProcessors) {
    const unsigned processors = std::thread::hardware_concurrency();
    const int expected = processors == 0 ? 4 : static_cast<int>(processors);
    for (const int requested : {0, -3}) {
        NativeBackend backend = tiny_backend({.n_ctx = kSmallContext, .n_threads = requested});
        EXPECT_EQ((*backend.load_settings())["n_threads"], expected);
        EXPECT_EQ(backend.model()->weights().params().n_threads, expected);
    }
}

TEST(NativeBackend, EvictorIsPreparedFromContextsOf2048) {
    NativeBackend backend = tiny_backend({.n_ctx = 2047, .n_threads = 1});
    EXPECT_FALSE((backend.evictor() != nullptr));

    backend.load(testing::tiny_chat_model(), {.n_ctx = 2048, .n_threads = 1});
    ASSERT_TRUE((backend.evictor() != nullptr));
    EXPECT_EQ(
        *backend.evictor()->config,
        (cache::EvictionConfig{.sink_tokens = 4, .window_size = 512, .max_cache_tokens = 2048}));

    backend.load(testing::tiny_chat_model(), {.n_ctx = 4096, .n_threads = 1});
    EXPECT_EQ(backend.evictor()->config->max_cache_tokens, 4096);
    EXPECT_EQ(backend.evictor()->config->window_size, 512);

    // A small context keeps the evictor of the last large one.
    backend.load(testing::tiny_chat_model(), {.n_ctx = kSmallContext, .n_threads = 1});
    ASSERT_TRUE((backend.evictor() != nullptr));
    EXPECT_EQ(backend.evictor()->config->max_cache_tokens, 4096);
}

TEST(NativeBackend, StatsBeforeLoadAfterLoadAndAfterUnload) {
    NativeBackend backend;
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats(), (BackendStats{"", 0}));

    backend.load(testing::tiny_chat_model(), {.n_ctx = kSmallContext, .n_threads = 1});
    EXPECT_EQ(backend.stats(), (BackendStats{"tiny-chat.gguf", kSmallContext}));

    backend.unload();
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats(), (BackendStats{"tiny-chat.gguf", kSmallContext}));
    backend.unload();  // unloading twice is harmless
    EXPECT_FALSE(backend.is_loaded());
}

TEST(NativeBackend, GenerationWithoutAModelFailsAtTheCallOrTheFirstPull) {
    NativeBackend backend;
    NativeBackend draft;
    expect_failure<RuntimeFailure>([&] { backend.chat(kQuestion, {}); }, "No model loaded");

    TextStream stream = backend.stream(kQuestion, {});
    expect_failure<RuntimeFailure>([&] { stream.next(); }, "No model loaded");

    TextStream speculative = backend.stream_speculative(draft, kQuestion);
    expect_failure<RuntimeFailure>([&] { speculative.next(); }, "No model loaded");

    // A stream made before the model is loaded sees it at its first pull.
    TextStream early = backend.stream(kQuestion, kGreedy);
    backend.load(testing::tiny_chat_model(), {.n_ctx = kSmallContext, .n_threads = 1});
    EXPECT_FALSE(early.collect().empty());

    backend.unload();
    EXPECT_THROW(backend.chat(kQuestion, {}), RuntimeFailure);
}

TEST(NativeBackend, ChatStreamAndSpeculativeStreamAgreeWhenGreedy) {
    NativeBackend backend = tiny_backend();
    NativeBackend draft = tiny_backend();
    const std::string reply = backend.chat(kQuestion, kGreedy);
    EXPECT_FALSE(reply.empty());

    std::vector<std::string> pieces;
    for (const auto& piece : backend.stream(kQuestion, kGreedy)) {
        EXPECT_FALSE(piece.empty());
        pieces.push_back(piece);
    }
    EXPECT_GT(pieces.size(), 1U);
    std::string streamed;
    for (const auto& piece : pieces) {
        streamed += piece;
    }
    EXPECT_EQ(streamed, reply);
    const TokenCounts plain = backend.last_token_counts();
    backend.chat({{"user", "Hi"}}, GenerationConfig{.max_tokens = 1, .temperature = 0.0});
    EXPECT_EQ(backend.stream_speculative(draft, kQuestion, kGreedy, 3).collect(), reply);
    // The counts follow the speculative answer, not the plain one before it.
    const TokenCounts speculated = backend.last_token_counts();
    EXPECT_EQ(speculated.generated_tokens, backend.last_speculative_stats().generated);
    EXPECT_EQ(speculated.generated_tokens, plain.generated_tokens);
    EXPECT_EQ(speculated.prompt_tokens, backend.count_prompt_tokens(kQuestion));
    EXPECT_GE(speculated.evaluated_tokens, 1);
    EXPECT_LE(speculated.evaluated_tokens, speculated.prompt_tokens);

    // Without a config the default settings apply: at most 512 tokens, sampled.
    EXPECT_FALSE(backend.chat(kQuestion, {}).empty());
}

TEST(NativeBackend, AStreamKeepsItsModelWhenTheBackendUnloadsOrReloads) {
    NativeBackend backend = tiny_backend();
    NativeBackend draft = tiny_backend();
    const std::string reply = backend.chat(kQuestion, kGreedy);

    TextStream stream = backend.stream(kQuestion, kGreedy);
    std::string streamed = stream.next().value_or("");
    backend.unload();
    streamed += stream.collect();
    EXPECT_EQ(streamed, reply);

    backend.load(testing::tiny_chat_model(), {.n_ctx = kSmallContext, .n_threads = 1});
    TextStream speculative = backend.stream_speculative(draft, kQuestion, kGreedy);
    streamed = speculative.next().value_or("");
    backend.load(testing::tiny_chat_model(), {.n_ctx = kSmallContext, .n_threads = 1});
    draft.unload();
    streamed += speculative.collect();
    EXPECT_EQ(streamed, reply);
}

// A file of `bytes` bytes (sparse: nothing is written).
void make_file(const std::string& path, std::uintmax_t bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream{path};
    fs::resize_file(path, bytes);
}

TEST(NativeBackend, SearchDirectoriesDependOnTheSystem) {
    const testing::TempHome home;
    EXPECT_THAT(model_search_dirs("Linux"),
                ElementsAre(home / "models", home / ".cache/kestrune/models", "/mnt/d/models",
                            "/mnt/e/models", "/models"));
    EXPECT_THAT(model_search_dirs("Windows"),
                ElementsAre(home / "models", home / ".cache/kestrune/models", "D:/models",
                            "E:/models", "C:/models"));
    EXPECT_EQ(model_search_dirs("windows")[2], "/mnt/d/models") << "the test is exact";
}

TEST(NativeBackend, ListModelsWalksTheDirectoriesAndKeepsDuplicates) {
    const testing::TempHome home;
    make_file(home / "models/a.gguf", 3 * 1048576 - 1);
    make_file(home / "models/sub/deep/b.gguf", 1048576);
    make_file(home / "models/.hidden.gguf", 1048576);
    make_file(home / "models/notes.txt", 10);
    make_file(home / ".cache/kestrune/models/c.gguf", 5);
    fs::create_directory_symlink(home / "models/sub", home / ".cache/kestrune/models/linked");

    std::vector<ModelEntry> mine;
    for (auto& entry : NativeBackend().list_models()) {
        if (entry.path.starts_with(home.path())) {
            mine.push_back(std::move(entry));
        }
    }
    auto entry = [](std::string name, double size_mb, std::string path) {
        ModelEntry model;
        model.name = std::move(name);
        model.size_mb = size_mb;
        model.backend = "native";
        model.path = std::move(path);
        return model;
    };
    EXPECT_THAT(
        mine, ElementsAre(entry("a.gguf", 2, home / "models/a.gguf"),
                          entry("b.gguf", 1, home / "models/sub/deep/b.gguf"),
                          entry("c.gguf", 0, home / ".cache/kestrune/models/c.gguf"),
                          entry("b.gguf", 1, home / ".cache/kestrune/models/linked/deep/b.gguf")));
}

class NativePull : public ::testing::Test {
  protected:
    NativePull() {
        hub_.add_file("owner/repo", "model-Q4_K_M.gguf", "four bits");
        hub_.add_file("owner/repo", "quants/model-Q8_0.gguf", "eight bits");
        hub_.add_file("owner/repo", "model-Q8_0.gguf", "not the one in the folder");
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    testing::FakeHub hub_;
    testing::TempDir hf_home_;
    testing::ScopedEnv endpoint_{"HF_ENDPOINT", hub_.endpoint()};
    testing::ScopedEnv home_{"HF_HOME", hf_home_.str()};
    testing::ScopedEnv token_{"HF_TOKEN", std::nullopt};
    NativeBackend backend_;
};

TEST_F(NativePull, ReferencesWithoutAFileComeBackUnchanged) {
    EXPECT_EQ(backend_.pull("model-Q4_K_M.gguf", nullptr), "model-Q4_K_M.gguf");
    EXPECT_EQ(backend_.pull("owner/repo", nullptr), "owner/repo");
    EXPECT_EQ(backend_.pull("owner/repo/", nullptr), "owner/repo/");
    EXPECT_EQ(hub_.requests().size(), 0U);
}

TEST_F(NativePull, AFileOfTheRepositoryIsDownloaded) {
    bool called = false;
    const std::string path = backend_.pull("owner/repo/model-Q4_K_M.gguf",
                                           [&](std::int64_t, std::int64_t) { called = true; });
    EXPECT_TRUE(path.starts_with(hf_home_.str())) << path;
    EXPECT_TRUE(path.ends_with("/model-Q4_K_M.gguf")) << path;
    EXPECT_EQ(read(path), "four bits");
    EXPECT_FALSE(called);

    EXPECT_THROW(backend_.pull("owner/repo/absent.gguf", nullptr), NotFoundError);
}

TEST_F(NativePull, EveryPartAfterTheRepositoryIsTheFilePath) {
    const std::string path = backend_.pull("owner/repo/quants/model-Q8_0.gguf", nullptr);
    EXPECT_TRUE(path.ends_with("/quants/model-Q8_0.gguf")) << path;
    EXPECT_EQ(read(path), "eight bits");
    EXPECT_EQ(hub_.count_requests("/owner/repo/resolve/main/quants/model-Q8_0.gguf"),
              hub_.requests().size());
}

// Headers that made llama.cpp abort the whole process while loading: each row gives the keys
// added to a small llama header. The load runs in a child, so an abort fails the row.
TEST(NativeBackend, HeadersLlamaCppAssertsOnFailTheLoadInstead) {
    const std::vector<std::vector<testing::GgufEntry>> cases{
        {{"llama.block_count", std::uint32_t{1000}}},
        {{"llama.block_count", std::uint32_t{2}}, {"llama.expert_count", std::uint32_t{4096}}},
    };
    testing::TempDir dir;
    const std::string path = (dir.path() / "hostile.gguf").string();
    for (const auto& extra : cases) {
        testing::write_gguf_header(path, testing::llama_header(extra));
        const auto answer = testing::run_before_deadline(
            [&]() -> std::string {
                try {
                    NativeBackend().load(path, {.n_ctx = kSmallContext});
                    return "loaded";
                } catch (const InvalidValueError& error) {
                    return error.what();
                }
            },
            std::chrono::seconds(60));
        ASSERT_TRUE(answer.has_value()) << extra.back().first << ": the process died";
        EXPECT_THAT(*answer, HasSubstr(extra.back().first + " is ")) << extra.back().first;
    }
}

}  // namespace
}  // namespace kestrune::backends
