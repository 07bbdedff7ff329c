// The stores of Ollama, LM Studio, vLLM, llama.cpp and MLX, built in a temporary HOME, and the
// two locators. Nothing here reaches the network.
#include "engine/stores.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "kestrune/engine/resolver.hpp"
#include "support/cout_capture.hpp"
#include "support/runtime_stores.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using resolver::resolve_model;
using testing::CoutCapture;
using ::testing::HasSubstr;
using testing::ollama_blob_path;
using testing::ollama_digest;
using testing::ollama_manifest;
using testing::ollama_manifest_path;
using ::testing::StrEq;
using testing::TempDir;
using testing::TempHome;
using ::testing::ThrowsMessage;
using testing::WorkingDirectory;
using testing::write_file;
using testing::write_file_of_size;

const std::string kModelType = "application/vnd.ollama.image.model";
const std::string kLicenseType = "application/vnd.ollama.image.license";
const std::string kTemplateType = "application/vnd.ollama.image.template";

std::string written(const std::string& path, std::string_view content) {
    write_file(path, content);
    return path;
}

bool system_ollama_store_present() {
    return fs::exists("/usr/share/ollama/.ollama/models");
}

// --- Ollama ---------------------------------------------------------------------------------

class OllamaStore : public ::testing::Test {
  protected:
    TempHome home;
    std::string models = home / ".ollama/models";

    std::string blob(char digit, std::size_t size) {
        return write_file_of_size(ollama_blob_path(models, ollama_digest(digit)), size);
    }
};

TEST_F(OllamaStore, ReturnsTheBlobOfTheModelLayer) {
    const std::string license = blob('a', 9000);
    const std::string model = blob('b', 100);
    write_file(ollama_manifest_path(models, "llama3", "8b"),
               ollama_manifest({{kLicenseType, ollama_digest('a')},
                                {kModelType, ollama_digest('b')},
                                {kTemplateType, ollama_digest('e')}}));
    CoutCapture printed;
    EXPECT_EQ(resolve_model("ollama://llama3:8b"), model);
    EXPECT_EQ(printed.text(), "  Found Ollama model: " + model + "\n");
    EXPECT_EQ(fs::path(model).filename(), "sha256-" + std::string(64, 'b'));
}

TEST_F(OllamaStore, ReadsTagLatestWithoutATagAndIgnoresExtraPieces) {
    const std::string latest = blob('d', 10);
    const std::string tagged = blob('f', 10);
    write_file(ollama_manifest_path(models, "llama3", "latest"),
               ollama_manifest({{kModelType, ollama_digest('d')}}));
    write_file(ollama_manifest_path(models, "llama3", "b"),
               ollama_manifest({{kModelType, ollama_digest('f')}}));
    CoutCapture printed;
    EXPECT_EQ(resolver::_resolve_ollama("llama3"), latest);
    EXPECT_EQ(resolver::_resolve_ollama("llama3:b:c"), tagged);
}

TEST_F(OllamaStore, ReadsTheFirstEntryOfAManifestDirectory) {
    const std::string model = blob('b', 10);
    blob('a', 5000);
    write_file(ollama_manifest_path(models, "qwen", "7b") + "/manifest",
               ollama_manifest({{kModelType, ollama_digest('b')}}));
    EXPECT_EQ(resolver::_resolve_ollama("qwen:7b"), model);
}

TEST_F(OllamaStore, FallsBackToTheLargestBlobWithAWarning) {
    blob('1', 10);
    const std::string largest = blob('2', 5000);
    blob('3', 20);
    // A manifest whose model blob is missing qualifies no layer.
    write_file(
        ollama_manifest_path(models, "phi", "latest"),
        ollama_manifest({{kLicenseType, ollama_digest('1')}, {kModelType, ollama_digest('9')}}));
    for (const char* tag : {"mistral:7b", "phi"}) {
        CoutCapture printed;
        EXPECT_EQ(resolver::_resolve_ollama(tag), largest);
        EXPECT_EQ(printed.text(),
                  "  Warning: Using largest Ollama blob (may not be exact match)\n");
    }
}

TEST_F(OllamaStore, FailsWhenNothingQualifiesAndNoBlobIsThere) {
    fs::create_directories(models);
    EXPECT_THAT([] { resolver::_resolve_ollama("llama3:8b"); },
                ThrowsMessage<NotFoundError>(StrEq("Ollama model not found: llama3:8b")));
    fs::create_directories(models + "/blobs");
    write_file(ollama_manifest_path(models, "llama3", "8b"),
               ollama_manifest({{kModelType, ollama_digest('b')}}));
    EXPECT_THAT([] { resolver::_resolve_ollama("llama3:8b"); },
                ThrowsMessage<NotFoundError>(StrEq("Ollama model not found: llama3:8b")));
}

TEST_F(OllamaStore, PassesOnBrokenManifests) {
    blob('b', 10);
    write_file(ollama_manifest_path(models, "bad", "json"), "{ not json");
    write_file(ollama_manifest_path(models, "bad", "list"), "[1, 2]");
    write_file(ollama_manifest_path(models, "bad", "layer"), R"({"layers": ["x"]})");
    EXPECT_THROW(resolver::_resolve_ollama("bad:json"), InvalidValueError);
    EXPECT_THROW(resolver::_resolve_ollama("bad:list"), InvalidValueError);
    EXPECT_THROW(resolver::_resolve_ollama("bad:layer"), InvalidValueError);
}

// Each damaged store fails with one of the library's own failure kinds, naming the file at
// fault, and never blocks, crashes or reads outside the store.
TEST_F(OllamaStore, DamagedManifestsAndBlobsFailNamingTheFile) {
    blob('a', 10);
    const std::string blobs = models + "/blobs";
    const std::string model_blob = ollama_blob_path(models, ollama_digest('b'));
    const std::string model_manifest = ollama_manifest({{kModelType, ollama_digest('b')}});
    const std::string outside = write_file_of_size(home / "outside/secret", 5);
    struct Case {
        const char* what;
        std::function<std::string()> plant;  // returns the path the message must name
    };
    const std::string manifest = ollama_manifest_path(models, "hostile", "latest");
    const std::vector<Case> cases = {
        {"not JSON", [&] { return written(manifest, "{ not json"); }},
        {"empty", [&] { return written(manifest, ""); }},
        {"not UTF-8", [&] { return written(manifest, "{\"layers\": [{\"digest\": \"\xff\"}]}"); }},
        {"a folder as the first entry",
         [&] {
             fs::create_directories(manifest + "/inner");
             return manifest + "/inner";
         }},
        {"a FIFO",
         [&] {
             fs::create_directories(fs::path(manifest).parent_path());
             EXPECT_EQ(::mkfifo(manifest.c_str(), 0600), 0);
             return manifest;
         }},
        {"a digest leaving the store",
         [&] {
             return written(manifest, ollama_manifest({{kModelType, "../../../outside/secret"}}));
         }},
        {"a dangling blob link",
         [&] {
             write_file(manifest, model_manifest);
             fs::create_symlink(home / "nowhere", model_blob);
             return model_blob;
         }},
        {"a looping blob link",
         [&] {
             write_file(manifest, model_manifest);
             fs::create_symlink(model_blob, model_blob);
             return model_blob;
         }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        const std::string named = plant();
        CoutCapture printed;
        EXPECT_THAT([] { resolver::_resolve_ollama("hostile"); },
                    ThrowsMessage<Error>(HasSubstr(named)));
        fs::remove_all(ollama_manifest_path(models, "hostile", ""));
        fs::remove(model_blob);
    }
    EXPECT_EQ(fs::file_size(outside), 5U);
}

TEST_F(OllamaStore, NamesAndTagsThatWouldLeaveTheStoreAreRefused) {
    const std::string model = blob('b', 10);
    // A manifest outside the store that an escaping name would reach.
    write_file(models + "/manifests/x/latest", ollama_manifest({{kModelType, ollama_digest('b')}}));
    for (const std::string tag : {"../../x", "../../../manifests/x", "x:../../../../x/latest",
                                  "./x", "x:a/b", "x:..", "", "a\x1b[2Jb"}) {
        SCOPED_TRACE(tag);
        EXPECT_THROW(resolver::_resolve_ollama(tag), InvalidValueError);
    }
    EXPECT_THAT([] { resolver::_resolve_ollama("a\x1b[2Jb"); },
                ThrowsMessage<InvalidValueError>(StrEq("Invalid Ollama model name: a\\x1b[2Jb")));
    // A namespace inside the library stays allowed.
    write_file(ollama_manifest_path(models, "someone/tiny", "q4"),
               ollama_manifest({{kModelType, ollama_digest('b')}}));
    CoutCapture printed;
    EXPECT_EQ(resolver::_resolve_ollama("someone/tiny:q4"), model);
}

TEST_F(OllamaStore, LooksAtTheMediaTypeOnlyOfBlobsThatExist) {
    const std::string model = blob('b', 10);
    write_file(ollama_manifest_path(models, "odd", "latest"),
               R"({"layers": [{"mediaType": 5, "digest": ")" + ollama_digest('9') +
                   R"("},)"
                   R"( {"mediaType": ")" +
                   kModelType + R"(", "digest": ")" + ollama_digest('b') + R"("}]})");
    CoutCapture printed;
    EXPECT_EQ(resolver::_resolve_ollama("odd"), model);
}

TEST(OllamaLocator, FindsTheHomeStoreOrNothing) {
    if (system_ollama_store_present()) {
        GTEST_SKIP() << "this machine has a system-wide Ollama store";
    }
    TempHome home;
    EXPECT_EQ(resolver::_get_ollama_dir(), std::nullopt);
    EXPECT_THAT(
        [] { resolver::_resolve_ollama("llama3"); },
        ThrowsMessage<NotFoundError>(StrEq("Ollama directory not found. Is Ollama installed?\n"
                                           "Install: https://ollama.com/download")));
    fs::create_directories(home / ".ollama/models");
    EXPECT_EQ(resolver::_get_ollama_dir(), home / ".ollama/models");
}

// --- LM Studio ------------------------------------------------------------------------------

TEST(LmStudioStore, PrefersQ4KMAndFailsWithItsMessages) {
    TempHome home;
    EXPECT_EQ(resolver::_get_lmstudio_dir(), std::nullopt);
    EXPECT_THAT([] { resolver::_resolve_lmstudio("qwen"); },
                ThrowsMessage<NotFoundError>(StrEq("LM Studio directory not found.")));

    const std::string roaming = home / "AppData/Roaming/LM Studio/models";
    write_file(roaming + "/qwen-Q8_0.gguf", "x");
    EXPECT_EQ(resolver::_get_lmstudio_dir(), roaming);
    EXPECT_EQ(resolver::_resolve_lmstudio("qwen"), roaming + "/qwen-Q8_0.gguf");

    const std::string models = home / ".cache/lm-studio/models";
    // The directory's own files are listed before its subdirectories.
    write_file(models + "/model-Q8_0.gguf", "x");
    write_file(models + "/lmstudio-community/model-GGUF/model-Q4_K_M.gguf", "x");
    EXPECT_EQ(resolver::_get_lmstudio_dir(), models);
    CoutCapture printed;
    const std::string chosen = models + "/lmstudio-community/model-GGUF/model-Q4_K_M.gguf";
    EXPECT_EQ(resolve_model("lmstudio://model"), chosen);
    EXPECT_EQ(printed.text(), "  Found LM Studio model: " + chosen + "\n");
    EXPECT_THAT([] { resolver::_resolve_lmstudio("qwen"); },
                ThrowsMessage<NotFoundError>(StrEq("LM Studio model not found: qwen")));
}

// --- vLLM, llama.cpp, MLX -------------------------------------------------------------------

TEST(VllmStore, SearchesTheHubCache) {
    TempHome home;
    const std::string message =
        "vLLM model 'mistral' not found in HF cache.\nvLLM uses safetensors (not GGUF). Try:\n"
        "  kestrune run hf://mistral  (auto-downloads GGUF version)";
    EXPECT_THAT([] { resolver::_resolve_vllm("mistral"); },
                ThrowsMessage<NotFoundError>(StrEq(message)));
    const std::string file =
        home / ".cache/huggingface/hub/models--org--Mistral/snapshots/0a1b/mistral-7b.Q4_K_M.gguf";
    write_file(file, "x");
    write_file(home / ".cache/huggingface/hub/models--org--Other/model.safetensors", "x");
    CoutCapture printed;
    EXPECT_EQ(resolve_model("vllm://mistral"), file);
    EXPECT_EQ(printed.text(), "  Found in HF/vLLM cache: " + file + "\n");
}

TEST(LlamaCppStore, PrefersTheHomeDirectoryAndKnowsWindows) {
    TempHome home;
    TempDir work;
    WorkingDirectory inside(work.path());
    EXPECT_THAT([] { resolver::_resolve_llamacpp("phi", "Linux"); },
                ThrowsMessage<NotFoundError>(StrEq("llama.cpp model 'phi' not found.")));

    // On Windows the last directory is C:/llama.cpp/models; here it reads as a relative path.
    write_file(work.path() / "C:/llama.cpp/models/phi-3.gguf", "x");
    EXPECT_EQ(resolver::_resolve_llamacpp("phi", "Windows"), "C:/llama.cpp/models/phi-3.gguf");
    EXPECT_THROW(resolver::_resolve_llamacpp("phi", "Linux"), NotFoundError);

    const std::string shared = home / ".local/share/llama.cpp/models/phi-2.gguf";
    write_file(shared, "x");
    EXPECT_EQ(resolver::_resolve_llamacpp("phi", "Windows"), shared);
    const std::string own = home / "llama.cpp/models/phi-4.gguf";
    write_file(own, "x");
    CoutCapture printed;
    EXPECT_EQ(resolve_model("llamacpp://phi"), own);
    EXPECT_EQ(printed.text(), "  Found llama.cpp model: " + own + "\n");
}

TEST(MlxStore, SearchesTheHubCacheThenMlxModels) {
    TempHome home;
    EXPECT_THAT([] { resolver::_resolve_mlx("gemma"); },
                ThrowsMessage<NotFoundError>(
                    StrEq("MLX model 'gemma' not found. MLX uses safetensors format.\n"
                          "Try: kestrune run hf://gemma")));
    const std::string own = home / "mlx_models/gemma-2b.gguf";
    write_file(own, "x");
    CoutCapture printed;
    EXPECT_EQ(resolve_model("mlx://gemma"), own);
    EXPECT_EQ(printed.text(), "  Found MLX model: " + own + "\n");
    const std::string cached = home / ".cache/huggingface/hub/models--g--gemma/gemma-7b.gguf";
    write_file(cached, "x");
    EXPECT_EQ(resolver::_resolve_mlx("gemma"), cached);
}

}  // namespace
}  // namespace kestrune
