#include "kestrune/backends/ollama.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/errors.hpp"
#include "support/loopback_server.hpp"

namespace kestrune::backends {
namespace {

using ::testing::HasSubstr;
using testing::LoopbackServer;
using namespace std::chrono_literals;

// Short waits so stalled servers fail fast.
constexpr OllamaTimeouts kQuick{.request = 300ms, .stream = 300ms};

struct Received {
    std::string method;
    std::string path;
    std::string content_type;
    std::string body;
};

// What the server was sent, in arrival order.
class Inbox {
  public:
    void add(const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        received_.push_back(
            {request.method, request.path, request.get_header_value("Content-Type"), request.body});
    }
    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Received> received_;
};

// Holds a handler until the test opens it (or a safety limit passes).
class Gate {
  public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait_for(lock, 10s, [this] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Answers `path` (any method) with `status` and `body`, recording what it was sent.
void answer(httplib::Server& server, const std::string& path, int status, std::string body,
            Inbox* inbox = nullptr) {
    const auto handler = [=](const httplib::Request& request, httplib::Response& response) {
        if (inbox != nullptr) {
            inbox->add(request);
        }
        response.status = status;
        response.set_content(body, "application/json");
    };
    server.Get(path, handler);
    server.Post(path, handler);
}

// Streams `lines` on /api/chat as chunked NDJSON, one chunk per line.
void stream_lines(httplib::Server& server, std::vector<std::string> lines, Inbox* inbox = nullptr) {
    server.Post("/api/chat", [=](const httplib::Request& request, httplib::Response& response) {
        if (inbox != nullptr) {
            inbox->add(request);
        }
        response.set_chunked_content_provider("application/x-ndjson",
                                              [=](std::size_t, httplib::DataSink& sink) {
                                                  for (const std::string& line : lines) {
                                                      sink.write(line.data(), line.size());
                                                  }
                                                  sink.done();
                                                  return true;
                                              });
    });
}

// The pieces a stream yields before it ends or fails, and the failure's text.
struct Pulled {
    std::vector<std::string> pieces;
    std::string failure;
};

Pulled pull_all(TextStream stream) {
    Pulled pulled;
    try {
        while (auto piece = stream.next()) {
            pulled.pieces.push_back(*piece);
        }
    } catch (const RuntimeFailure& failure) {
        pulled.failure = failure.what();
    }
    return pulled;
}

// An address where nothing listens: a server that was started and stopped.
std::string closed_address() {
    std::string address;
    {
        const LoopbackServer server([](httplib::Server&) {});
        address = server.base_url();
    }
    return address;
}

const Messages kHello{{"user", "Hello"}};

TEST(OllamaDetect, ReportsTheVersionAtTheHostWithoutTrailingSlashes) {
    Inbox inbox;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/api/version", 200, R"({"version":"0.5.7"})", &inbox);
    });
    OllamaBackend backend(server.base_url() + "//");
    const BackendInfo info = backend.detect();
    EXPECT_EQ(info.name, "ollama");
    EXPECT_EQ(info.version, "0.5.7");
    EXPECT_TRUE(info.available);
    EXPECT_EQ(info.details, "Ollama 0.5.7 at " + server.base_url());
    ASSERT_EQ(inbox.received().size(), 1u);
    const Received sent = inbox.received()[0];
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.path, "/api/version");
    EXPECT_EQ(sent.content_type, "");
    EXPECT_EQ(sent.body, "");
}

TEST(OllamaDetect, AnswerWithoutVersionIsAvailableButUnknown) {
    const LoopbackServer server(
        [](httplib::Server& s) { answer(s, "/api/version", 200, R"({"build":"x"})"); });
    const BackendInfo info = OllamaBackend(server.base_url()).detect();
    EXPECT_TRUE(info.available);
    EXPECT_EQ(info.version, "unknown");
    EXPECT_EQ(info.details, "Ollama  at " + server.base_url());
}

TEST(OllamaDetect, NeverFailsAndReportsNotAvailable) {
    Gate gate;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/empty/api/version", 200, "{}");
        answer(s, "/garbage/api/version", 200, "<html>");
        answer(s, "/list/api/version", 200, "[1]");
        answer(s, "/failing/api/version", 500, R"({"error":"boom"})");
        s.Get("/stalled/api/version", [&](const httplib::Request&, httplib::Response& response) {
            gate.wait();
            response.set_content("{}", "application/json");
        });
    });
    const BackendInfo not_running{.name = "ollama",
                                  .version = "",
                                  .available = false,
                                  .models_count = 0,
                                  .details = "Ollama not running. Install: https://ollama.com"};
    for (const char* prefix : {"/empty", "/garbage", "/list", "/failing", "/stalled"}) {
        EXPECT_EQ(OllamaBackend(server.base_url() + prefix, kQuick).detect(), not_running)
            << prefix;
    }
    EXPECT_EQ(OllamaBackend(closed_address()).detect(), not_running);
    gate.open();
}

TEST(OllamaListModels, ReadsSizesDetailsAndParameterUnits) {
    const LoopbackServer server([](httplib::Server& s) {
        answer(s, "/api/tags", 200, R"({"models":[
            {"name":"qwen2.5:7b","size":4683087332,
             "details":{"family":"qwen2","quantization_level":"Q4_K_M","parameter_size":"7.6B"}},
            {"name":"big:70b","size":1048576,"details":{"parameter_size":" 70B "}},
            {"name":"embed","size":1048575,"details":{"parameter_size":"137M"}},
            {"name":"tiny","details":{"parameter_size":"500K"}},
            {"name":"odd","details":{"parameter_size":"many"}},
            {"name":"bare"}]})");
    });
    const auto models = OllamaBackend(server.base_url()).list_models();
    ASSERT_EQ(models.size(), 6u);
    EXPECT_EQ(models[0], (ModelEntry{.name = "qwen2.5:7b",
                                     .backend = "ollama",
                                     .size_mb = 4466.0,
                                     .path = "",
                                     .family = "qwen2",
                                     .quant = "Q4_K_M",
                                     .parameters_b = 7.6}));
    EXPECT_EQ(models[1].size_mb, 1.0);
    EXPECT_EQ(models[1].parameters_b, 70.0);
    EXPECT_EQ(models[2].size_mb, 0.0);
    EXPECT_DOUBLE_EQ(models[2].parameters_b, 0.137);
    EXPECT_DOUBLE_EQ(models[3].parameters_b, 0.0005);
    EXPECT_EQ(models[4].parameters_b, 0.0);
    EXPECT_EQ(models[5], (ModelEntry{.name = "bare",
                                     .backend = "ollama",
                                     .size_mb = 0.0,
                                     .path = "",
                                     .family = "",
                                     .quant = "",
                                     .parameters_b = 0.0}));
}

TEST(OllamaListModels, NeverFailsAndListsNothing) {
    Gate gate;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/none/api/tags", 200, R"({"other":[]})");
        answer(s, "/garbage/api/tags", 200, "not json");
        answer(s, "/text/api/tags", 200, R"({"models":"qwen"})");
        answer(s, "/numbers/api/tags", 200, R"({"models":[{"name":"a"},3]})");
        answer(s, "/sized/api/tags", 200, R"({"models":[{"name":"a","size":"big"}]})");
        answer(s, "/failing/api/tags", 404, R"({"error":"no"})");
        s.Get("/stalled/api/tags",
              [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    });
    for (const char* prefix :
         {"/none", "/garbage", "/text", "/numbers", "/sized", "/failing", "/stalled"}) {
        EXPECT_TRUE(OllamaBackend(server.base_url() + prefix, kQuick).list_models().empty())
            << prefix;
    }
    EXPECT_TRUE(OllamaBackend(closed_address()).list_models().empty());
    gate.open();
}

TEST(OllamaPull, AsksForOneFinalAnswerAndNeedsExactSuccess) {
    Inbox inbox;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/ok/api/pull", 200, R"({"status":"success"})", &inbox);
        answer(s, "/capital/api/pull", 200, R"({"status":"Success"})");
        answer(s, "/progress/api/pull", 200, R"({"status":"pulling manifest"})");
        answer(s, "/failing/api/pull", 500, R"({"error":"no space"})");
    });
    bool called = false;
    const auto progress = [&](std::int64_t, std::int64_t) { called = true; };
    EXPECT_EQ(OllamaBackend(server.base_url() + "/ok").pull("llama3.2", progress), "llama3.2");
    EXPECT_EQ(OllamaBackend(server.base_url() + "/capital").pull("llama3.2"), "");
    EXPECT_EQ(OllamaBackend(server.base_url() + "/progress").pull("llama3.2"), "");
    EXPECT_EQ(OllamaBackend(server.base_url() + "/failing").pull("llama3.2"), "");
    EXPECT_EQ(OllamaBackend(closed_address()).pull("llama3.2"), "");
    EXPECT_FALSE(called);
    ASSERT_EQ(inbox.received().size(), 1u);
    const Received sent = inbox.received()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.content_type, "application/json");
    EXPECT_EQ(sent.body, R"({"name":"llama3.2","stream":false})");
}

TEST(OllamaLoad, WarmsUpWithContextLengthAndTracksTheModel) {
    Inbox inbox;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/api/generate", 200, R"({"response":"Hi","done":true})", &inbox);
    });
    OllamaBackend backend(server.base_url());
    EXPECT_FALSE(backend.is_loaded());
    backend.load("qwen2.5:7b-\u00e9", {.n_ctx = 8192, .n_gpu_layers = 3});
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "qwen2.5:7b-\u00e9");
    ASSERT_EQ(inbox.received().size(), 1u);
    EXPECT_EQ(inbox.received()[0].body,
              R"({"model":"qwen2.5:7b-\u00e9","prompt":"hi","options":{"num_predict":1,)"
              R"("num_ctx":8192},"stream":false})");

    backend.unload();
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats(), BackendStats{});
    EXPECT_EQ(inbox.received().size(), 1u);  // unload does not contact the server

    backend.load("");
    EXPECT_FALSE(backend.is_loaded());
}

TEST(OllamaLoad, CompletesAgainstAStoppedServer) {
    OllamaBackend backend(closed_address());
    backend.load("llama3.2");
    EXPECT_TRUE(backend.is_loaded());
}

TEST(OllamaChat, SendsBodyKeysInOrderAsAsciiAndReturnsTheContent) {
    Inbox inbox;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/api/chat", 200,
               R"({"message":{"role":"assistant","content":"Gr\u00fc\u00df dich"},"done":true})",
               &inbox);
    });
    OllamaBackend backend(server.base_url());
    backend.load("m");
    const Messages messages{{"system", "Sei kurz."},
                            Message{{"role", "user"}, {"content", "Grüße 😀"}, {"name", "ann"}}};
    EXPECT_EQ(backend.chat(messages), "Grüß dich");
    EXPECT_EQ(backend.chat(messages, GenerationConfig{.max_tokens = 7,
                                                      .temperature = 0.0,
                                                      .top_p = 0.5,
                                                      .top_k = 3,
                                                      .repeat_penalty = 1.0}),
              "Grüß dich");
    const auto received = inbox.received();
    ASSERT_EQ(received.size(), 2u);
    const std::string sent_messages =
        R"("messages":[{"role":"system","content":"Sei kurz."},)"
        R"({"role":"user","content":"Gr\u00fc\u00dfe \ud83d\ude00","name":"ann"}])";
    EXPECT_EQ(received[0].path, "/api/chat");
    EXPECT_EQ(received[0].content_type, "application/json");
    EXPECT_EQ(received[0].body, R"({"model":"m",)" + sent_messages +
                                    R"(,"stream":false,"options":{"temperature":0.7,"top_p":0.9,)"
                                    R"("top_k":40,"repeat_penalty":1.1,"num_predict":512}})");
    EXPECT_EQ(received[1].body, R"({"model":"m",)" + sent_messages +
                                    R"(,"stream":false,"options":{"temperature":0.0,"top_p":0.5,)"
                                    R"("top_k":3,"repeat_penalty":1.0,"num_predict":7}})");
}

TEST(OllamaChat, AnswersWithoutContentGiveEmptyText) {
    const LoopbackServer server([](httplib::Server& s) {
        answer(s, "/empty/api/chat", 200, "{}");
        answer(s, "/bare/api/chat", 200, R"({"done":true})");
        answer(s, "/null/api/chat", 200, R"({"message":{"content":null}})");
    });
    for (const char* prefix : {"/empty", "/bare", "/null"}) {
        EXPECT_EQ(OllamaBackend(server.base_url() + prefix).chat(kHello), "") << prefix;
    }
}

TEST(OllamaChat, FailuresRaiseWithTheServersErrorText) {
    Gate gate;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/missing/api/chat", 404,
               R"({"error":"model \"m\" not found, try pulling it first"})");
        answer(s, "/html/api/chat", 502, "<h1>Bad Gateway</h1>");
        answer(s, "/refused/api/chat", 200, R"({"error":"out of memory"})");
        answer(s, "/garbage/api/chat", 200, "{\"message\":");
        answer(s, "/shape/api/chat", 200, R"({"message":"hi"})");
        s.Post("/stalled/api/chat",
               [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    });
    const auto failure_of = [&](const std::string& address) -> std::string {
        try {
            OllamaBackend(address, kQuick).chat(kHello);
        } catch (const RuntimeFailure& failure) {
            return failure.what();
        }
        return "no failure";
    };
    EXPECT_EQ(failure_of(server.url("/missing")),
              "Ollama answered HTTP 404: model \"m\" not found, try pulling it first");
    EXPECT_EQ(failure_of(server.url("/html")), "Ollama answered HTTP 502: <h1>Bad Gateway</h1>");
    EXPECT_EQ(failure_of(server.url("/refused")), "Ollama error: out of memory");
    EXPECT_THAT(failure_of(server.url("/shape")), HasSubstr("unexpected shape"));
    EXPECT_THAT(failure_of(server.url("/stalled")), HasSubstr("Ollama request failed"));
    EXPECT_THAT(failure_of(closed_address()), HasSubstr("Ollama request failed"));
    EXPECT_THROW(OllamaBackend(server.url("/garbage")).chat(kHello), InvalidValueError);
    gate.open();
}

TEST(OllamaStream, SendsNothingBeforeTheFirstPullAndEndsAtDone) {
    Inbox inbox;
    const LoopbackServer server([&](httplib::Server& s) {
        stream_lines(s,
                     {R"({"message":{"role":"assistant","content":"Hel"},"done":false})"
                      "\n",
                      R"({"message":{"content":"lo"},"done":false})"
                      "\n",
                      "\n", "\r\n",
                      R"({"message":{"content":""},"done":false})"
                      "\n",
                      R"({"message":{"content":null},"done":false})"
                      "\n",
                      R"({"done":false})"
                      "\n",
                      R"({"message":{"content":"!"},"done":true})"
                      "\n",
                      R"({"message":{"content":"after done"},"done":false})"
                      "\n"},
                     &inbox);
    });
    TextStream stream;
    {
        OllamaBackend backend(server.base_url());
        backend.load("m");
        stream = backend.stream(kHello, GenerationConfig{.max_tokens = 9});
        EXPECT_EQ(inbox.received().size(), 0u);  // load's warm-up goes to /api/generate
    }
    // The stream outlives its adapter.
    const Pulled pulled = pull_all(std::move(stream));
    EXPECT_THAT(pulled.pieces, ::testing::ElementsAre("Hel", "lo", "!"));
    EXPECT_EQ(pulled.failure, "");
    ASSERT_EQ(inbox.received().size(), 1u);
    EXPECT_EQ(inbox.received()[0].content_type, "application/json");
    EXPECT_EQ(inbox.received()[0].body,
              R"({"model":"m","messages":[{"role":"user","content":"Hello"}],"stream":true,)"
              R"("options":{"temperature":0.7,"top_p":0.9,"top_k":40,"repeat_penalty":1.1,)"
              R"("num_predict":9}})");
}

TEST(OllamaStream, FirstLineDoneWithoutContentYieldsNothing) {
    const LoopbackServer server([](httplib::Server& s) {
        stream_lines(s, {R"({"message":{"content":""},"done":true})"
                         "\n",
                         R"({"message":{"content":"late"},"done":false})"
                         "\n"});
    });
    const Pulled pulled = pull_all(OllamaBackend(server.base_url()).stream(kHello));
    EXPECT_TRUE(pulled.pieces.empty());
    EXPECT_EQ(pulled.failure, "");
}

TEST(OllamaStream, EndsWithTheBodyWithoutDone) {
    const LoopbackServer server([](httplib::Server& s) {
        stream_lines(s, {R"({"message":{"content":"a"}})"
                         "\n",
                         R"({"message":{"content":"b"}})"});
    });
    const Pulled pulled = pull_all(OllamaBackend(server.base_url()).stream(kHello));
    EXPECT_THAT(pulled.pieces, ::testing::ElementsAre("a", "b"));
    EXPECT_EQ(pulled.failure, "");
}

TEST(OllamaStream, FailuresRaiseAfterThePiecesAlreadyDelivered) {
    const std::string first = R"({"message":{"content":"Hi"},"done":false})"
                              "\n";
    Gate gate;
    const LoopbackServer server([&](httplib::Server& s) {
        answer(s, "/missing/api/chat", 404, R"({"error":"model \"m\" not found"})");
        s.Post("/error-line/api/chat", [&](const httplib::Request&, httplib::Response& r) {
            r.set_content(first + R"({"error":"model runner crashed"})"
                                  "\n",
                          "application/x-ndjson");
        });
        s.Post("/malformed/api/chat", [&](const httplib::Request&, httplib::Response& r) {
            r.set_content(first + "{\"message\": oops\n", "application/x-ndjson");
        });
        s.Post("/blank/api/chat", [&](const httplib::Request&, httplib::Response& r) {
            r.set_content(first + "  \n" + first, "application/x-ndjson");
        });
        s.Post("/dropped/api/chat", [&](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("application/x-ndjson",
                                           [&](std::size_t, httplib::DataSink& sink) {
                                               sink.write(first.data(), first.size());
                                               return false;
                                           });
        });
        s.Post("/stalled/api/chat", [&](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("application/x-ndjson",
                                           [&](std::size_t, httplib::DataSink& sink) {
                                               sink.write(first.data(), first.size());
                                               gate.wait();
                                               sink.done();
                                               return true;
                                           });
        });
    });
    const auto pulled_from = [&](const std::string& address) {
        return pull_all(OllamaBackend(address, kQuick).stream(kHello));
    };

    const Pulled missing = pulled_from(server.url("/missing"));
    EXPECT_TRUE(missing.pieces.empty());
    EXPECT_EQ(missing.failure, "Ollama answered HTTP 404: model \"m\" not found");

    const Pulled unreachable = pulled_from(closed_address());
    EXPECT_TRUE(unreachable.pieces.empty());
    EXPECT_THAT(unreachable.failure, HasSubstr("Ollama request failed"));

    const Pulled error_line = pulled_from(server.url("/error-line"));
    EXPECT_THAT(error_line.pieces, ::testing::ElementsAre("Hi"));
    EXPECT_EQ(error_line.failure, "Ollama error: model runner crashed");

    for (const char* broken : {"/malformed", "/blank"}) {
        const Pulled pulled = pulled_from(server.url(broken));
        EXPECT_THAT(pulled.pieces, ::testing::ElementsAre("Hi")) << broken;
        EXPECT_THAT(pulled.failure, HasSubstr("not JSON")) << broken;
    }

    for (const char* cut : {"/dropped", "/stalled"}) {
        const Pulled pulled = pulled_from(server.url(cut));
        EXPECT_THAT(pulled.pieces, ::testing::ElementsAre("Hi")) << cut;
        EXPECT_THAT(pulled.failure, HasSubstr("Ollama request failed")) << cut;
    }
    gate.open();
}

}  // namespace
}  // namespace kestrune::backends
