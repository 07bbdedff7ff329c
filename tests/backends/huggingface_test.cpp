#include "kestrune/backends/huggingface.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "platform/python/python.hpp"
#include "support/fake_hub.hpp"
#include "support/python_packages.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"

namespace python = kestrune::platform::python;
using kestrune::Json;
using kestrune::Messages;
using kestrune::RuntimeFailure;
using kestrune::TextStream;
using kestrune::backends::BackendInfo;
using kestrune::backends::GenerationConfig;
using kestrune::backends::HuggingFaceBackend;
using kestrune::testing::PythonPackages;
using kestrune::testing::ScopedEnv;

namespace {

// transformers and torch stand-ins that log every call. The model name picks the behaviour:
// "stub/broken" cannot be built; "stub/fails-at-once" and "stub/fails-midway" fail generating
// before the first piece and after two; "stub/endless" generates until a stopping criterion
// says stop (or gives up after five seconds).
const char* const transformers_stub = R"PY(
import queue
import threading
import time

from stub_log import record

__version__ = "4.46.0-stub"


class StoppingCriteriaList(list):
    def __call__(self, input_ids, scores, **kwargs):
        return any(criterion(input_ids, scores, **kwargs) for criterion in self)


class TextIteratorStreamer:
    def __init__(self, tokenizer, skip_prompt=False, **decode_kwargs):
        record("TextIteratorStreamer", tokenizer=tokenizer.name, skip_prompt=skip_prompt,
               decode_kwargs=decode_kwargs)
        self._queue = queue.Queue()

    def put(self, text):
        self._queue.put(text)

    def end(self):
        self._queue.put(None)

    def __iter__(self):
        return self

    def __next__(self):
        text = self._queue.get()
        if text is None:
            raise StopIteration
        return text


class _Ids:
    def __init__(self, device):
        self.device = device

    def to(self, device):
        return _Ids(device)


class _Tokenizer:
    def __init__(self, name):
        self.name = name

    def apply_chat_template(self, messages, **options):
        record("apply_chat_template", messages=messages, options=options)
        return _Ids("cpu")


class _Model:
    def __init__(self, name):
        self.name = name

    def generate(self, input_ids, streamer, stopping_criteria=None, **options):
        record("generate", options=options, device=input_ids.device,
               on_main_thread=threading.current_thread() is threading.main_thread(),
               stopping_criteria=stopping_criteria is not None)
        if self.name == "stub/fails-at-once":
            raise RuntimeError("generation broke")
        if self.name == "stub/endless":
            for count in range(1, 5001):
                streamer.put("tick ")
                if stopping_criteria is not None and stopping_criteria(input_ids, None):
                    record("stopped", pieces=count)
                    break
                time.sleep(0.001)
            streamer.end()
            return
        for piece in ["Hel", "lo", "", " there"]:
            if self.name == "stub/fails-midway" and piece == "":
                raise RuntimeError("generation broke")
            streamer.put(piece)
        streamer.end()


class _Pipeline:
    def __init__(self, name):
        self.tokenizer = _Tokenizer(name)
        self.model = _Model(name)
        self.device = "stub-device"

    def __call__(self, messages, **options):
        record("call", messages=messages, options=options)
        return [{"generated_text": list(messages) + [{"role": "assistant",
                                                      "content": "Whole answer"}]}]


def pipeline(task, **options):
    options["torch_dtype"] = str(options.get("torch_dtype"))
    record("pipeline", task=task, options=options)
    if options["model"] == "stub/broken":
        raise OSError("stub/broken is not a model")
    return _Pipeline(options["model"])
)PY";

const char* const torch_stub = R"PY(
from . import cuda


class dtype:
    def __init__(self, name):
        self.name = name

    def __str__(self):
        return "torch." + self.name


float16 = dtype("float16")
float32 = dtype("float32")
)PY";

const char* const torch_cuda_stub = R"PY(
from stub_log import flag, record


def is_available():
    return flag("cuda")


def empty_cache():
    record("empty_cache")
    if flag("empty_cache_fails"):
        raise RuntimeError("no cache to empty")
)PY";

const PythonPackages& stubs() {
    static const PythonPackages packages({{"transformers/__init__.py", transformers_stub},
                                          {"torch/__init__.py", torch_stub},
                                          {"torch/cuda.py", torch_cuda_stub}});
    return packages;
}

const Messages conversation = {{"system", "Be brief."},
                               {{"role", "user"}, {"content", "Hi"}, {"name", "ann"}}};

const Json conversation_json = Json::parse(R"([{"role": "system", "content": "Be brief."},
    {"role": "user", "content": "Hi", "name": "ann"}])");

std::vector<std::string> pieces_of(TextStream stream) {
    std::vector<std::string> pieces;
    for (const auto& piece : stream) {
        pieces.push_back(piece);
    }
    return pieces;
}

TEST(HuggingFaceBackend, FreshAdapterHasNoModel) {
    HuggingFaceBackend backend;
    EXPECT_EQ(backend.name(), "huggingface");
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "");
    EXPECT_TRUE(backend.list_models().empty());
    try {
        backend.chat(conversation, {});
        FAIL() << "chat without a model";
    } catch (const RuntimeFailure& error) {
        EXPECT_STREQ(error.what(), "No model loaded");
    }
    // The stream fails the same way at its first pull, by way of chat, having yielded nothing.
    TextStream stream = backend.stream(conversation, {});
    try {
        stream.next();
        FAIL() << "stream without a model";
    } catch (const RuntimeFailure& error) {
        EXPECT_STREQ(error.what(), "No model loaded");
    }
    backend.unload();
    EXPECT_FALSE(backend.is_loaded());
}

TEST(HuggingFaceBackend, MissingLibrariesMakeItUnavailable) {
    python::SimulatedAbsence missing;  // what a build without Python sees anyway
    HuggingFaceBackend backend;
    const BackendInfo info = backend.detect();
    EXPECT_EQ(info.name, "huggingface");
    EXPECT_EQ(info.version, "");
    EXPECT_FALSE(info.available);
    EXPECT_TRUE(info.details.ends_with("transformers torch")) << info.details;
    try {
        backend.load("stub/model", {});
        FAIL() << "load without the libraries";
    } catch (const RuntimeFailure& error) {
        EXPECT_EQ(error.what(), info.details);
    }
    EXPECT_EQ(backend.stats().model_name, "");
}

TEST(HuggingFaceBackend, PullDownloadsTheRepositoryOrFails) {
    kestrune::testing::FakeHub hub;
    hub.add_file("user/tiny", "config.json", "{}");
    hub.add_file("user/tiny", "weights/model.safetensors", "weights");
    kestrune::testing::TempDir cache;
    ScopedEnv endpoint("HF_ENDPOINT", hub.endpoint());
    ScopedEnv home("HF_HOME", cache.str());
    ScopedEnv token("HF_TOKEN", std::nullopt);
    HuggingFaceBackend backend;
    bool progress_called = false;
    const std::string directory = backend.pull(
        "user/tiny", [&progress_called](std::int64_t, std::int64_t) { progress_called = true; });
    EXPECT_TRUE(directory.starts_with(cache.str())) << directory;
    EXPECT_TRUE(std::filesystem::is_regular_file(directory + "/weights/model.safetensors"));
    EXPECT_FALSE(progress_called);

    EXPECT_THROW(backend.pull("user/absent", nullptr), kestrune::NotFoundError);
    ScopedEnv unreachable("HF_ENDPOINT", "http://127.0.0.1:1");
    try {
        backend.pull("user/tiny2", nullptr);
        ADD_FAILURE() << "an unreachable hub must not pass";
    } catch (const kestrune::RuntimeFailure& failure) {
        EXPECT_THAT(failure.what(),
                    ::testing::StartsWith("Could not pull 'user/tiny2' from Hugging Face: "));
    }
}

class WithStubLibraries : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!python::compiled_in()) {
            GTEST_SKIP() << "built without embedded Python";
        }
        stubs().clear_calls();
        stubs().set_flag("cuda", false);
        stubs().set_flag("empty_cache_fails", false);
    }

    HuggingFaceBackend backend;
};

TEST_F(WithStubLibraries, DetectReportsTheVersion) {
    EXPECT_EQ(backend.detect(), (BackendInfo{.name = "huggingface",
                                             .version = "4.46.0-stub",
                                             .available = true,
                                             .details = "transformers 4.46.0-stub"}));
}

TEST_F(WithStubLibraries, LoadPicksTheElementTypeByGpu) {
    backend.load("stub/model", {.n_ctx = 8192});
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "stub/model");
    stubs().set_flag("cuda", true);
    backend.load("stub/other", {});

    const auto builds = stubs().calls_named("pipeline");
    ASSERT_EQ(builds.size(), 2U);
    // No context length reaches the library, whatever n_ctx says.
    EXPECT_EQ(builds[0], Json::parse(R"({"call": "pipeline", "task": "text-generation",
        "options": {"model": "stub/model", "torch_dtype": "torch.float32", "device_map": "auto",
                    "model_kwargs": {"use_safetensors": true}}})"));
    EXPECT_EQ(builds[1]["options"]["torch_dtype"], "torch.float16");
}

TEST_F(WithStubLibraries, FailedLoadKeepsTheOldPipelineUnderTheNewName) {
    backend.load("stub/model", {});
    try {
        backend.load("stub/broken", {});
        FAIL() << "a model that cannot be built";
    } catch (const python::PythonError& error) {
        EXPECT_STREQ(error.what(), "stub/broken is not a model");
    }
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "stub/broken");
    EXPECT_EQ(backend.chat(conversation, {}), "Whole answer");
}

TEST_F(WithStubLibraries, ChatSamplesOnlyAboveZeroTemperature) {
    backend.load("stub/model", {});
    EXPECT_EQ(backend.chat(conversation,
                           GenerationConfig{.max_tokens = 64, .temperature = 0.0, .top_p = 0.5}),
              "Whole answer");
    EXPECT_EQ(backend.chat(conversation, {}), "Whole answer");

    const auto calls = stubs().calls_named("call");
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0]["messages"], conversation_json);
    EXPECT_EQ(calls[0]["options"], Json::parse(R"({"max_new_tokens": 64, "temperature": 0.0,
                                                   "top_p": 0.5, "do_sample": false})"));
    EXPECT_EQ(calls[1]["options"], Json::parse(R"({"max_new_tokens": 512, "temperature": 0.7,
                                                   "top_p": 0.9, "do_sample": true})"));
}

TEST_F(WithStubLibraries, StreamHandsOutThePiecesOfAGenerationThread) {
    backend.load("stub/model", {});
    const GenerationConfig config{.max_tokens = 32, .temperature = 0.2};
    EXPECT_EQ(pieces_of(backend.stream(conversation, config)),
              (std::vector<std::string>{"Hel", "lo", " there"}));

    EXPECT_EQ(stubs().calls_named("TextIteratorStreamer").at(0),
              Json::parse(R"({"call": "TextIteratorStreamer", "tokenizer": "stub/model",
                  "skip_prompt": true, "decode_kwargs": {"skip_special_tokens": true}})"));
    const auto templates = stubs().calls_named("apply_chat_template");
    ASSERT_EQ(templates.size(), 1U);
    EXPECT_EQ(templates[0]["messages"], conversation_json);
    EXPECT_EQ(templates[0]["options"],
              Json::parse(R"({"return_tensors": "pt", "add_generation_prompt": true})"));
    EXPECT_EQ(stubs().calls_named("generate").at(0), Json::parse(R"({"call": "generate",
                  "options": {"max_new_tokens": 32, "temperature": 0.2},
                  "device": "stub-device", "on_main_thread": false,
                  "stopping_criteria": true})"));
    EXPECT_TRUE(stubs().calls_named("call").empty()) << "chat is not involved";
}

TEST_F(WithStubLibraries, StreamFallsBackToChatOnlyBeforeTheFirstPiece) {
    const GenerationConfig config{.max_tokens = 16};
    backend.load("stub/fails-at-once", {});
    EXPECT_EQ(pieces_of(backend.stream(conversation, config)),
              std::vector<std::string>{"Whole answer"});
    const auto fallbacks = stubs().calls_named("call");
    ASSERT_EQ(fallbacks.size(), 1U);
    EXPECT_EQ(fallbacks[0]["options"]["max_new_tokens"], 16);

    // After a piece has gone out, the whole answer would repeat it: the failure surfaces.
    stubs().clear_calls();
    backend.load("stub/fails-midway", {});
    TextStream stream = backend.stream(conversation, config);
    EXPECT_EQ(stream.next(), "Hel");
    EXPECT_EQ(stream.next(), "lo");
    try {
        stream.next();
        FAIL() << "the generation failure must reach the consumer";
    } catch (const python::PythonError& error) {
        EXPECT_STREQ(error.what(), "generation broke");
    }
    EXPECT_EQ(stream.next(), std::nullopt);
    EXPECT_TRUE(stubs().calls_named("call").empty());
}

TEST_F(WithStubLibraries, DroppingTheStreamStopsGenerationAndWaitsForIt) {
    backend.load("stub/endless", {});
    {
        TextStream stream = backend.stream(conversation, {});
        EXPECT_EQ(stream.next(), "tick ");
        EXPECT_EQ(stream.next(), "tick ");
    }
    // The thread has been stopped by the criterion and joined: its last word is already logged.
    const auto stops = stubs().calls_named("stopped");
    ASSERT_EQ(stops.size(), 1U);
    EXPECT_LT(stops[0]["pieces"].get<int>(), 5000);
    backend.unload();
    EXPECT_EQ(stubs().calls_named("empty_cache").size(), 1U);
}

TEST_F(WithStubLibraries, UnloadFlushesTheCacheAndKeepsTheName) {
    backend.load("stub/model", {});
    backend.unload();
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "stub/model");
    backend.unload();
    EXPECT_EQ(stubs().calls_named("empty_cache").size(), 1U) << "nothing to flush the second time";

    stubs().set_flag("empty_cache_fails", true);
    backend.load("stub/model", {});
    EXPECT_NO_THROW(backend.unload());
    EXPECT_FALSE(backend.is_loaded());
}

}  // namespace
