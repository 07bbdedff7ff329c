#include "kestrune/backends/ollama.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "support/loopback_server.hpp"

namespace kestrune::backends {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// What a route of the test server answers.
struct Answer {
    int status = 200;
    std::string body;                // a whole answer, when `lines` is empty
    std::vector<std::string> lines;  // chunked NDJSON, one chunk per line
    enum class End { complete, dropped, stalled } end = End::complete;
};

Answer whole(std::string body, int status = 200) {
    Answer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

Answer ndjson(std::vector<std::string> lines, Answer::End end = Answer::End::complete) {
    Answer answer;
    answer.lines = std::move(lines);
    answer.end = end;
    return answer;
}

const std::string kHi = R"({"message":{"content":"Hi"},"done":false})"
                        "\n";

// Routes by full path; the first segment picks the server's behaviour.
const std::map<std::string, Answer> kAnswers{
    {"/v/api/version", whole(R"({"version":"0.5.7"})")},
    {"/noversion/api/version", whole(R"({"build":"x"})")},
    {"/empty/api/version", whole("{}")},
    {"/garbage/api/version", whole("<html>")},
    {"/list/api/version", whole("[1]")},
    {"/tags/api/tags", whole(R"({"models":[
        {"name":"qwen2.5:7b","size":4683087332,
         "details":{"family":"qwen2","quantization_level":"Q4_K_M","parameter_size":"7.6B"}},
        {"name":"big","size":1048576,"details":{"parameter_size":" 70B "}},
        {"name":"embed","size":1048575,"details":{"parameter_size":"137M"}},
        {"name":"tiny","details":{"parameter_size":"500K"}},
        {"name":"odd","details":{"parameter_size":"many"}},
        {"name":"bare"}]})")},
    {"/none/api/tags", whole(R"({"other":[]})")},
    {"/garbage/api/tags", whole("not json")},
    {"/text/api/tags", whole(R"({"models":"qwen"})")},
    {"/numbers/api/tags", whole(R"({"models":[{"name":"a"},3]})")},
    {"/sized/api/tags", whole(R"({"models":[{"name":"a","size":"big"}]})")},
    {"/ok/api/pull", whole(R"({"status":"success"})")},
    {"/capital/api/pull", whole(R"({"status":"Success"})")},
    {"/progress/api/pull", whole(R"({"status":"pulling manifest"})")},
    {"/ok/api/generate", whole(R"({"response":"Hi","done":true})")},
    {"/ok/api/chat", whole(R"({"message":{"content":"Gr\u00fc\u00df dich"},"done":true})")},
    {"/empty/api/chat", whole("{}")},
    {"/null/api/chat", whole(R"({"message":{"content":null}})")},
    {"/html/api/chat", whole("<h1>Bad Gateway</h1>", 502)},
    {"/refused/api/chat", whole(R"({"error":"out of memory"})")},
    {"/shape/api/chat", whole(R"({"message":"hi"})")},
    {"/garbage/api/chat", whole("{\"message\":")},
    {"/stream/api/chat", ndjson({kHi,
                                 R"({"message":{"content":"lo"},"done":false})"
                                 "\n",
                                 "\n", "\r\n",
                                 R"({"message":{"content":""},"done":false})"
                                 "\n",
                                 R"({"message":{"content":null}})"
                                 "\n",
                                 R"({"done":false})"
                                 "\n",
                                 R"({"message":{"content":"!"},"done":true})"
                                 "\n",
                                 R"({"message":{"content":"after done"}})"
                                 "\n"})},
    {"/donefirst/api/chat", ndjson({R"({"message":{"content":""},"done":true})"
                                    "\n",
                                    kHi})},
    {"/nodone/api/chat", ndjson({kHi, R"({"message":{"content":"!"}})"})},
    {"/errorline/api/chat", ndjson({kHi, R"({"error":"model runner crashed"})"
                                         "\n"})},
    {"/malformed/api/chat", ndjson({kHi, "{\"message\": oops\n"})},
    {"/blank/api/chat", ndjson({kHi, "  \n", kHi})},
    {"/dropped/api/chat", ndjson({kHi}, Answer::End::dropped)},
    {"/stalls/api/chat", ndjson({kHi}, Answer::End::stalled)},
};
const Answer kFailing = whole(R"({"error":"model \"m\" not found"})", 404);
const Answer kStalled = ndjson({}, Answer::End::stalled);

struct Received {
    std::string method;
    std::string path;
    std::string content_type;
    std::string body;
};

class OllamaTest : public ::testing::Test {
  protected:
    // Handlers waiting on the gate must be released before the server can stop.
    ~OllamaTest() override { open_gate(); }

    std::string url(const std::string& prefix) const { return server_.url(prefix); }
    // A backend with short time-outs, so stalled servers fail fast.
    OllamaBackend at(const std::string& prefix) const {
        return OllamaBackend(url(prefix), {.request = 300ms, .stream = 300ms});
    }

    std::vector<Received> received(const std::string& path) const {
        std::lock_guard lock(mutex_);
        std::vector<Received> matching;
        for (const Received& request : received_) {
            if (request.path == path) {
                matching.push_back(request);
            }
        }
        return matching;
    }

  private:
    void serve(const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex_);
            received_.push_back({request.method, request.path,
                                 request.get_header_value("Content-Type"), request.body});
        }
        const auto found = kAnswers.find(request.path);
        const Answer& answer = found != kAnswers.end()                 ? found->second
                               : request.path.starts_with("/stalled/") ? kStalled
                                                                       : kFailing;
        response.status = answer.status;
        if (answer.lines.empty() && answer.end == Answer::End::complete) {
            response.set_content(answer.body, "application/json");
            return;
        }
        response.set_chunked_content_provider(
            "application/x-ndjson", [this, &answer](std::size_t, httplib::DataSink& sink) {
                for (const std::string& line : answer.lines) {
                    sink.write(line.data(), line.size());
                }
                if (answer.end == Answer::End::dropped) {
                    return false;
                }
                if (answer.end == Answer::End::stalled) {
                    wait_for_gate();
                }
                sink.done();
                return true;
            });
    }

    void wait_for_gate() {
        std::unique_lock lock(mutex_);
        gate_opened_.wait_for(lock, 10s, [this] { return gate_open_; });
    }
    void open_gate() {
        std::lock_guard lock(mutex_);
        gate_open_ = true;
        gate_opened_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable gate_opened_;
    bool gate_open_ = false;
    std::vector<Received> received_;
    testing::LoopbackServer server_{[this](httplib::Server& server) {
        const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            serve(request, response);
        };
        server.Get(".*", handler);
        server.Post(".*", handler);
    }};
};

// An address where nothing listens: a server that was started and stopped.
std::string closed_address() {
    const testing::LoopbackServer server([](httplib::Server&) {});
    return server.base_url();
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

const Messages kHello{{"user", "Hello"}};

TEST_F(OllamaTest, DetectReportsTheVersionAtTheHostWithoutTrailingSlashes) {
    EXPECT_EQ(OllamaBackend(url("/v") + "//").detect(),
              (BackendInfo{"ollama", "0.5.7", true, 0, "Ollama 0.5.7 at " + url("/v")}));
    const auto sent = received("/v/api/version");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].content_type, "");
    EXPECT_EQ(sent[0].body, "");
    // Without a version it is still available; the details then hold two blanks in a row.
    EXPECT_EQ(at("/noversion").detect(),
              (BackendInfo{"ollama", "unknown", true, 0, "Ollama  at " + url("/noversion")}));
}

TEST_F(OllamaTest, DetectNeverFailsAndReportsNotAvailable) {
    const BackendInfo not_running{"ollama", "", false, 0,
                                  "Ollama not running. Install: https://ollama.com/download"};
    for (const char* prefix : {"/empty", "/garbage", "/list", "/failing", "/stalled"}) {
        EXPECT_EQ(at(prefix).detect(), not_running) << prefix;
    }
    EXPECT_EQ(OllamaBackend(closed_address()).detect(), not_running);
}

TEST_F(OllamaTest, ListModelsReadsSizesDetailsAndParameterUnits) {
    const auto models = at("/tags").list_models();
    ASSERT_EQ(models.size(), 6u);
    EXPECT_EQ(models[0], (ModelEntry{"qwen2.5:7b", "ollama", 4466.0, "", "qwen2", "Q4_K_M", 7.6}));
    EXPECT_EQ(models[1].size_mb, 1.0);
    EXPECT_EQ(models[1].parameters_b, 70.0);
    EXPECT_EQ(models[2].size_mb, 0.0);
    EXPECT_DOUBLE_EQ(models[2].parameters_b, 0.137);
    EXPECT_DOUBLE_EQ(models[3].parameters_b, 0.0005);
    EXPECT_EQ(models[4].parameters_b, 0.0);
    EXPECT_EQ(models[5], (ModelEntry{"bare", "ollama", 0.0, "", "", "", 0.0}));
}

TEST_F(OllamaTest, ListModelsNeverFailsAndListsNothing) {
    for (const char* prefix :
         {"/none", "/garbage", "/text", "/numbers", "/sized", "/failing", "/stalled"}) {
        EXPECT_TRUE(at(prefix).list_models().empty()) << prefix;
    }
    EXPECT_TRUE(OllamaBackend(closed_address()).list_models().empty());
}

TEST_F(OllamaTest, PullAsksForOneFinalAnswerAndNeedsExactSuccess) {
    bool called = false;
    const auto progress = [&](std::int64_t, std::int64_t) { called = true; };
    EXPECT_EQ(at("/ok").pull("llama3.2", progress), "llama3.2");
    EXPECT_FALSE(called);
    const auto failure_of = [](OllamaBackend ollama) {
        try {
            ollama.pull("llama3.2", nullptr);
        } catch (const RuntimeFailure& failure) {
            return std::string(failure.what());
        }
        return std::string("no failure");
    };
    EXPECT_THAT(failure_of(at("/capital")),
                HasSubstr(R"(did not pull 'llama3.2': it answered {"status":"Success"})"));
    EXPECT_THAT(failure_of(at("/progress")), HasSubstr("pulling manifest"));
    EXPECT_THAT(failure_of(at("/failing")), HasSubstr("did not pull 'llama3.2': no answer"));
    EXPECT_THAT(failure_of(OllamaBackend(closed_address())), HasSubstr("no answer"));
    const auto sent = received("/ok/api/pull");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].content_type, "application/json");
    EXPECT_EQ(sent[0].body, R"({"name":"llama3.2","stream":false})");
}

TEST_F(OllamaTest, LoadWarmsUpWithTheContextLengthAndTracksTheModel) {
    OllamaBackend backend = at("/ok");
    EXPECT_FALSE(backend.is_loaded());
    backend.load("qwen:7b-\u00e9", {.n_ctx = 8192, .n_gpu_layers = 3});
    EXPECT_TRUE(backend.is_loaded());
    EXPECT_EQ(backend.stats().model_name, "qwen:7b-\u00e9");
    const auto sent = received("/ok/api/generate");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, R"({"model":"qwen:7b-\u00e9","prompt":"hi",)"
                            R"("options":{"num_predict":1,"num_ctx":8192},"stream":false})");

    backend.unload();
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_EQ(backend.stats(), BackendStats{});
    backend.load("", {});
    EXPECT_FALSE(backend.is_loaded());

    OllamaBackend stopped(closed_address());
    stopped.load("llama3.2", {});
    EXPECT_TRUE(stopped.is_loaded());
}

TEST_F(OllamaTest, ChatSendsBodyKeysInOrderAsAsciiAndReturnsTheContent) {
    OllamaBackend backend = at("/ok");
    backend.load("m", {});
    const Messages messages{{"system", "Sei kurz."},
                            Message{{"role", "user"}, {"content", "Grüße 😀"}, {"name", "ann"}}};
    EXPECT_EQ(backend.chat(messages, {}), "Grüß dich");
    backend.chat(
        messages,
        GenerationConfig{
            .max_tokens = 7, .temperature = 0.0, .top_p = 0.5, .top_k = 3, .repeat_penalty = 1.0});
    const std::string start =
        R"({"model":"m","messages":[{"role":"system","content":"Sei kurz."},)"
        R"({"role":"user","content":"Gr\u00fc\u00dfe \ud83d\ude00","name":"ann"}],)"
        R"("stream":false,"options":)";
    const auto sent = received("/ok/api/chat");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].content_type, "application/json");
    EXPECT_EQ(sent[0].body, start + R"({"temperature":0.7,"top_p":0.9,"top_k":40,)"
                                    R"("repeat_penalty":1.1,"num_predict":512}})");
    EXPECT_EQ(sent[1].body, start + R"({"temperature":0.0,"top_p":0.5,"top_k":3,)"
                                    R"("repeat_penalty":1.0,"num_predict":7}})");
    // No message, or a null content, is an empty answer.
    EXPECT_EQ(at("/empty").chat(kHello, {}), "");
    EXPECT_EQ(at("/null").chat(kHello, {}), "");
}

TEST_F(OllamaTest, ChatFailuresRaiseWithTheServersErrorText) {
    const auto failure_of = [&](OllamaBackend backend) -> std::string {
        try {
            backend.chat(kHello, {});
        } catch (const RuntimeFailure& failure) {
            return failure.what();
        }
        return "no failure";
    };
    EXPECT_EQ(failure_of(at("/failing")), "Ollama answered HTTP 404: model \"m\" not found");
    EXPECT_EQ(failure_of(at("/html")), "Ollama answered HTTP 502: <h1>Bad Gateway</h1>");
    EXPECT_EQ(failure_of(at("/refused")), "Ollama error: out of memory");
    EXPECT_THAT(failure_of(at("/shape")), HasSubstr("unexpected shape"));
    EXPECT_THAT(failure_of(at("/stalled")), HasSubstr("Ollama request failed"));
    EXPECT_THAT(failure_of(OllamaBackend(closed_address())), HasSubstr("Ollama request failed"));
    EXPECT_THROW(at("/garbage").chat(kHello, {}), InvalidValueError);
}

TEST_F(OllamaTest, StreamSendsNothingBeforeTheFirstPullAndEndsAtDone) {
    TextStream stream;
    {
        OllamaBackend backend = at("/stream");
        backend.load("m", {});
        stream = backend.stream(kHello, GenerationConfig{.max_tokens = 9});
        EXPECT_TRUE(received("/stream/api/chat").empty());
    }
    // The stream outlives its adapter; empty lines and empty contents are passed over.
    const Pulled pulled = pull_all(std::move(stream));
    EXPECT_THAT(pulled.pieces, ElementsAre("Hi", "lo", "!"));
    EXPECT_EQ(pulled.failure, "");
    const auto sent = received("/stream/api/chat");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].content_type, "application/json");
    EXPECT_EQ(sent[0].body,
              R"({"model":"m","messages":[{"role":"user","content":"Hello"}],"stream":true,)"
              R"("options":{"temperature":0.7,"top_p":0.9,"top_k":40,"repeat_penalty":1.1,)"
              R"("num_predict":9}})");

    const Pulled done_first = pull_all(at("/donefirst").stream(kHello, {}));
    EXPECT_TRUE(done_first.pieces.empty());
    EXPECT_EQ(done_first.failure, "");
    const Pulled no_done = pull_all(at("/nodone").stream(kHello, {}));
    EXPECT_THAT(no_done.pieces, ElementsAre("Hi", "!"));
    EXPECT_EQ(no_done.failure, "");
}

TEST_F(OllamaTest, StreamFailuresRaiseAfterThePiecesAlreadyDelivered) {
    const Pulled missing = pull_all(at("/failing").stream(kHello, {}));
    EXPECT_TRUE(missing.pieces.empty());
    EXPECT_EQ(missing.failure, "Ollama answered HTTP 404: model \"m\" not found");

    const Pulled unreachable = pull_all(OllamaBackend(closed_address()).stream(kHello, {}));
    EXPECT_TRUE(unreachable.pieces.empty());
    EXPECT_THAT(unreachable.failure, HasSubstr("Ollama request failed"));

    const Pulled error_line = pull_all(at("/errorline").stream(kHello, {}));
    EXPECT_THAT(error_line.pieces, ElementsAre("Hi"));
    EXPECT_EQ(error_line.failure, "Ollama error: model runner crashed");

    // A line of white space is not JSON either: it is not an empty line.
    for (const char* broken : {"/malformed", "/blank"}) {
        const Pulled pulled = pull_all(at(broken).stream(kHello, {}));
        EXPECT_THAT(pulled.pieces, ElementsAre("Hi")) << broken;
        EXPECT_THAT(pulled.failure, HasSubstr("not JSON")) << broken;
    }
    for (const char* cut : {"/dropped", "/stalls"}) {
        const Pulled pulled = pull_all(at(cut).stream(kHello, {}));
        EXPECT_THAT(pulled.pieces, ElementsAre("Hi")) << cut;
        EXPECT_THAT(pulled.failure, HasSubstr("Ollama request failed")) << cut;
    }
}

}  // namespace
}  // namespace kestrune::backends
