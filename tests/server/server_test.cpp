// The server over real loopback sockets, on the generated models: both APIs whole and
// streamed, their error shapes, the key, and many clients at once.
#include "kestrune/server/server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"
#include "kestrune/registry/store.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/chat_template.hpp"
#include "server/fields.hpp"
#include "server/ollama_api.hpp"
#include "server/openai_api.hpp"
#include "support/gate.hpp"
#include "support/gguf_header.hpp"
#include "support/llama_server.hpp"
#include "support/loopback_server.hpp"
#include "support/runtime_stores.hpp"
#include "support/streamed_post.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::Json;
using kestrune::server::Server;
using kestrune::server::ServerOptions;
using kestrune::testing::StreamedPost;
using kestrune::testing::tiny_chat_model;

Json user_chat(const std::string& model, const std::string& text, int max_tokens) {
    return {{"model", model},
            {"messages", Json::array({{{"role", "user"}, {"content", text}}})},
            {"max_tokens", max_tokens},
            {"temperature", 0}};
}

// The "data:" payloads of a server-sent event stream, in order.
std::vector<std::string> sse_data(const std::string& body) {
    std::vector<std::string> data;
    std::size_t at = 0;
    while ((at = body.find("data: ", at)) != std::string::npos) {
        const std::size_t end = body.find("\n\n", at);
        data.push_back(body.substr(at + 6, end - at - 6));
        at = end;
    }
    return data;
}

std::vector<Json> ndjson(const std::string& body) {
    std::vector<Json> lines;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t end = body.find('\n', at);
        lines.push_back(Json::parse(body.substr(at, end - at)));
        at = end == std::string::npos ? body.size() : end + 1;
    }
    return lines;
}

// The streamed chat pieces joined.
std::string streamed_chat_text(const std::string& body) {
    std::string text;
    for (const std::string& data : sse_data(body)) {
        if (data == "[DONE]") {
            break;
        }
        const Json chunk = Json::parse(data);
        for (const Json& choice : chunk["choices"]) {
            text += choice["delta"].value("content", "");
        }
    }
    return text;
}

class ServerTest : public ::testing::Test {
  protected:
    void start(ServerOptions options = {}, bool quiet = true) {
        options.port = 0;
        options.quiet = quiet;
        if (options.model.empty()) {
            options.model = tiny_chat_model();
        }
        if (options.models_dirs.empty()) {
            // The tests name the generated and bundled models by path.
            for (const std::string& model :
                 {tiny_chat_model(), kestrune::testing::bundled_chat_model()}) {
                options.models_dirs.push_back(std::filesystem::path(model).parent_path().string());
            }
        }
        server_ = std::make_unique<Server>(options);
        server_->start();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
        client_->set_read_timeout(60, 0);
    }
    httplib::Result post(const std::string& path, const Json& body) {
        return client_->Post(path, body.dump(), "application/json");
    }
    httplib::Result get(const std::string& path) { return client_->Get(path); }
    std::string chat_answer(const std::string& text, int max_tokens) {
        auto result = post("/v1/chat/completions", user_chat(tiny_chat_model(), text, max_tokens));
        return Json::parse(result->body)["choices"][0]["message"]["content"];
    }

    kestrune::testing::TempHome home_;  // no registry, no stores of other runtimes
    std::unique_ptr<Server> server_;
    std::unique_ptr<httplib::Client> client_;
};

// --- OpenAI --------------------------------------------------------------------------------------

TEST_F(ServerTest, OpenAiModelsListTheDefaultModel) {
    start();
    auto result = get("/v1/models");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    const Json body = Json::parse(result->body);
    EXPECT_EQ(body["object"], "list");
    ASSERT_EQ(body["data"].size(), 1U) << body;
    EXPECT_EQ(body["data"][0]["id"], "tiny-chat");
    EXPECT_EQ(body["data"][0]["object"], "model");
}

TEST_F(ServerTest, OpenAiChatAnswersWholeWithRealTokenCounts) {
    start();
    const Json request = user_chat(tiny_chat_model(), "what is the cat doing?", 4);
    auto result = post("/v1/chat/completions", request);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const Json body = Json::parse(result->body);
    EXPECT_TRUE(body["id"].get<std::string>().starts_with("chatcmpl-"));
    EXPECT_EQ(body["object"], "chat.completion");
    EXPECT_GT(body["created"].get<long long>(), 1700000000);
    EXPECT_EQ(body["model"], "tiny-chat");
    const Json& choice = body["choices"][0];
    EXPECT_EQ(choice["message"]["role"], "assistant");
    EXPECT_FALSE(choice["message"]["content"].get<std::string>().empty());

    kestrune::platform::llama::Llama llama({.model_path = tiny_chat_model(), .verbose = false});
    const auto prompt =
        llama.tokenize(llama.format_chat({kestrune::Message("user", "what is the cat doing?")}));
    const Json& usage = body["usage"];
    EXPECT_EQ(usage["prompt_tokens"], prompt.size());
    const int completion = usage["completion_tokens"];
    EXPECT_TRUE(completion == 4 ? choice["finish_reason"] == "length"
                                : choice["finish_reason"] == "stop" && completion < 4)
        << body;
    EXPECT_EQ(usage["total_tokens"], prompt.size() + completion);
    // Another id for the next answer.
    EXPECT_NE(Json::parse(post("/v1/chat/completions", request)->body)["id"], body["id"]);
}

TEST_F(ServerTest, OpenAiStreamedChatIsTheWholeAnswerInChunksEndingWithDone) {
    start();
    const std::string whole = chat_answer("tell me about the dog", 24);
    Json request = user_chat(tiny_chat_model(), "tell me about the dog", 24);
    request["stream"] = true;
    request["stream_options"] = {{"include_usage", true}};
    auto result = post("/v1/chat/completions", request);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/event-stream");
    const auto data = sse_data(result->body);
    ASSERT_GE(data.size(), 4U) << result->body;
    EXPECT_EQ(data.back(), "[DONE]");
    EXPECT_EQ(streamed_chat_text(result->body), whole);
    const Json first = Json::parse(data.front());
    EXPECT_EQ(first["object"], "chat.completion.chunk");
    EXPECT_EQ(first["choices"][0]["delta"]["role"], "assistant");
    const Json finish = Json::parse(data[data.size() - 3]);
    EXPECT_FALSE(finish["choices"][0]["finish_reason"].is_null()) << finish;
    const Json usage = Json::parse(data[data.size() - 2]);
    EXPECT_TRUE(usage["choices"].empty());
    EXPECT_GT(usage["usage"]["completion_tokens"].get<int>(), 0);
    EXPECT_EQ(Json::parse(data[1])["id"], first["id"]);
}

TEST_F(ServerTest, OpenAiCompletionsWholeAndStreamedAgree) {
    start();
    const Json request = {{"model", tiny_chat_model()},
                          {"prompt", "the cat"},
                          {"max_tokens", 12},
                          {"temperature", 0}};
    auto whole = post("/v1/completions", request);
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->status, 200) << whole->body;
    const Json body = Json::parse(whole->body);
    EXPECT_EQ(body["object"], "text_completion");
    const std::string text = body["choices"][0]["text"];
    EXPECT_FALSE(text.empty());

    Json streamed_request = request;
    streamed_request["stream"] = true;
    auto streamed = post("/v1/completions", streamed_request);
    std::string joined;
    for (const std::string& data : sse_data(streamed->body)) {
        if (data != "[DONE]") {
            joined += Json::parse(data)["choices"][0]["text"].get<std::string>();
        }
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(sse_data(streamed->body).back(), "[DONE]");
}

TEST_F(ServerTest, StopTextsEndTheAnswerBeforeThem) {
    start();
    const std::string whole = chat_answer("what is the cat doing?", 30);
    ASSERT_GE(whole.size(), 8U) << whole;
    const std::string stop = whole.substr(whole.size() / 2, 3);
    const std::string expected = whole.substr(0, whole.find(stop));
    for (const bool stream : {false, true}) {
        Json request = user_chat(tiny_chat_model(), "what is the cat doing?", 30);
        request["stop"] = Json::array({"never seen here", stop});
        request["stream"] = stream;
        auto result = post("/v1/chat/completions", request);
        ASSERT_TRUE(result);
        if (stream) {
            EXPECT_EQ(streamed_chat_text(result->body), expected) << stop;
            EXPECT_NE(result->body.find("\"finish_reason\":\"stop\""), std::string::npos);
        } else {
            const Json body = Json::parse(result->body);
            EXPECT_EQ(body["choices"][0]["message"]["content"], expected) << stop;
            EXPECT_EQ(body["choices"][0]["finish_reason"], "stop");
        }
    }
}

// --- Ollama --------------------------------------------------------------------------------------

TEST_F(ServerTest, OllamaDescribesItsModelsFromTheirHeaders) {
    start();
    EXPECT_EQ(Json::parse(get("/api/version")->body)["version"], "0.6.0");
    const Json tags = Json::parse(get("/api/tags")->body);
    ASSERT_EQ(tags["models"].size(), 1U) << tags;
    const Json& model = tags["models"][0];
    EXPECT_EQ(model["name"], "tiny-chat");
    EXPECT_EQ(model["size"], std::filesystem::file_size(tiny_chat_model()));
    EXPECT_EQ(model["details"]["format"], "gguf");
    EXPECT_EQ(model["details"]["family"], "llama");
    EXPECT_FALSE(model["details"]["parameter_size"].get<std::string>().empty());

    auto show = post("/api/show", {{"model", tiny_chat_model()}});
    ASSERT_EQ(show->status, 200) << show->body;
    const Json shown = Json::parse(show->body);
    EXPECT_EQ(shown["model_info"]["general.architecture"], "llama");
    EXPECT_EQ(shown["details"], model["details"]);

    const Json ps = Json::parse(get("/api/ps")->body);
    ASSERT_EQ(ps["models"].size(), 1U);
    EXPECT_EQ(ps["models"][0]["name"], "tiny-chat");
}

TEST_F(ServerTest, OllamaChatStreamsLinesAndEndsWithCountsAndDurations) {
    start();
    const std::string whole = chat_answer("tell me about the dog", 20);
    const Json request = {
        {"model", tiny_chat_model()},
        {"messages", Json::array({{{"role", "user"}, {"content", "tell me about the dog"}}})},
        {"options", {{"temperature", 0}, {"num_predict", 20}}}};
    auto result = post("/api/chat", request);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const auto lines = ndjson(result->body);
    ASSERT_GE(lines.size(), 2U);
    std::string joined;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["done"], false);
        joined += lines[i]["message"]["content"].get<std::string>();
    }
    EXPECT_EQ(joined, whole);
    const Json& last = lines.back();
    EXPECT_EQ(last["done"], true);
    EXPECT_TRUE(last["done_reason"] == "stop" || last["done_reason"] == "length");
    EXPECT_EQ(last["eval_count"], lines.size() - 1);
    EXPECT_GT(last["prompt_eval_count"].get<int>(), 5);
    EXPECT_GT(last["eval_duration"].get<long long>(), 0);
    EXPECT_GT(last["prompt_eval_duration"].get<long long>(), 0);
    EXPECT_GE(
        last["total_duration"].get<long long>(),
        last["eval_duration"].get<long long>() + last["prompt_eval_duration"].get<long long>());
    EXPECT_TRUE(last["created_at"].get<std::string>().ends_with("Z"));
}

TEST_F(ServerTest, OllamaGenerateWholeHonoursNumPredict) {
    start();
    const Json request = {{"model", tiny_chat_model()},
                          {"prompt", "the cat"},
                          {"raw", true},
                          {"stream", false},
                          {"options", {{"temperature", 0}, {"num_predict", 3}, {"seed", 7}}}};
    auto result = post("/api/generate", request);
    ASSERT_EQ(result->status, 200) << result->body;
    const Json body = Json::parse(result->body);
    EXPECT_EQ(body["done"], true);
    EXPECT_EQ(body["eval_count"], 3);
    EXPECT_EQ(body["done_reason"], "length");
    auto completion = post("/v1/completions", {{"model", tiny_chat_model()},
                                               {"prompt", "the cat"},
                                               {"max_tokens", 3},
                                               {"temperature", 0}});
    EXPECT_EQ(body["response"], Json::parse(completion->body)["choices"][0]["text"]);
}

// --- faults --------------------------------------------------------------------------------------

TEST_F(ServerTest, MalformedRequestsGetEachApisOwnErrorShape) {
    start();
    const std::string model = tiny_chat_model();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"/v1/chat/completions", "{not json"},
        {"/v1/chat/completions", "[1, 2]"},
        {"/v1/chat/completions", Json{{"model", model}}.dump()},
        {"/v1/chat/completions", Json{{"model", model}, {"messages", "hi"}}.dump()},
        {"/v1/chat/completions", Json{{"model", 5}, {"messages", Json::array()}}.dump()},
        {"/v1/completions", Json{{"model", model}, {"prompt", "x"}, {"max_tokens", "9"}}.dump()},
        {"/v1/completions", Json{{"model", model}, {"prompt", "x"}, {"max_tokens", -1}}.dump()},
        {"/api/chat", "{not json"},
        {"/api/chat", Json{{"model", model}, {"messages", Json::array({7})}}.dump()},
        {"/api/generate", Json{{"model", model}, {"prompt", "x"}, {"options", 3}}.dump()},
        {"/api/generate",
         Json{{"model", model}, {"prompt", "x"}, {"options", {{"temperature", "hot"}}}}.dump()},
    };
    for (const auto& [path, body] : bad) {
        auto result = client_->Post(path, body, "application/json");
        ASSERT_TRUE(result) << path << body;
        EXPECT_EQ(result->status, 400) << path << body << result->body;
        const Json error = Json::parse(result->body);
        if (path.starts_with("/api/")) {
            EXPECT_TRUE(error["error"].is_string()) << result->body;
        } else {
            EXPECT_TRUE(error["error"]["message"].is_string()) << result->body;
            EXPECT_EQ(error["error"]["type"], "invalid_request_error");
        }
    }
    // Still serving.
    EXPECT_EQ(get("/api/version")->status, 200);
}

TEST_F(ServerTest, UnknownModelsPathsAndDownloadsAre404) {
    start();
    auto unknown = post("/v1/chat/completions", user_chat("no-such-model-anywhere", "hi", 2));
    EXPECT_EQ(unknown->status, 404) << unknown->body;
    EXPECT_NE(Json::parse(unknown->body)["error"]["message"].get<std::string>().find(
                  "no-such-model-anywhere"),
              std::string::npos);
    auto download = post("/api/chat", user_chat("hf://someone/some-repo", "hi", 2));
    EXPECT_EQ(download->status, 404) << download->body;
    EXPECT_NE(Json::parse(download->body)["error"].get<std::string>().find("--allow-pull"),
              std::string::npos);
    EXPECT_EQ(post("/api/show", {{"model", "./missing.gguf"}})->status, 404);
    auto path = get("/v1/nothing-here");
    EXPECT_EQ(path->status, 404);
    EXPECT_TRUE(Json::parse(path->body)["error"]["message"].is_string());
    EXPECT_TRUE(Json::parse(get("/api/nothing-here")->body)["error"].is_string());
}

TEST_F(ServerTest, OversizedBodiesAre413AndPromptsBeyondTheContext400) {
    start({.n_ctx = 64, .max_body_bytes = 4096});
    auto big = post("/api/chat", user_chat(tiny_chat_model(), std::string(5000, 'a'), 2));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    EXPECT_TRUE(Json::parse(big->body)["error"].is_string()) << big->body;
    auto long_prompt = post("/v1/completions", {{"model", tiny_chat_model()},
                                                {"prompt", std::string(600, 'x') + " the cat"}});
    EXPECT_EQ(long_prompt->status, 400) << long_prompt->body;
    EXPECT_NE(long_prompt->body.find("exceed context window of 64"), std::string::npos);
    EXPECT_EQ(post("/v1/completions",
                   {{"model", tiny_chat_model()}, {"prompt", "the cat"}, {"max_tokens", 2}})
                  ->status,
              200);
}

TEST_F(ServerTest, DeeplyNestedBodiesAreRefusedWhereverTheNestingIs) {
    start();
    const std::string deep = std::string(50000, '[') + std::string(50000, ']');
    const std::string model = Json(tiny_chat_model()).dump();
    const std::string chat = R"({"model":)" + model + R"(,"messages":[{"role":"user","content":)";
    for (const auto& [path, body] : std::vector<std::pair<std::string, std::string>>{
             {"/v1/chat/completions", chat + deep + "}]}"},
             {"/v1/chat/completions", chat +
                                          R"("hi"}],"tools":[{"type":"function","function":)"
                                          R"({"name":"f","parameters":)" +
                                          deep + "}}]}"},
             {"/api/chat", chat + R"("hi"}],"unused":)" + deep + "}"},
             {"/api/generate",
              R"({"model":)" + model + R"(,"prompt":"hi","options":)" + deep + "}"},
         }) {
        auto refused = client_->Post(path, body, "application/json");
        ASSERT_TRUE(refused) << path << ": the server went down";
        EXPECT_EQ(refused->status, 400) << path;
        EXPECT_NE(refused->body.find("nested deeper than 64 levels"), std::string::npos)
            << refused->body;
    }
    EXPECT_EQ(post("/v1/chat/completions", user_chat(tiny_chat_model(), "the cat", 2))->status,
              200);
}

TEST_F(ServerTest, AModelFileLlamaCppWouldAbortOrStallOnIsRefusedAndTheServerGoesOn) {
    const kestrune::testing::TempDir dir;
    std::vector<kestrune::testing::GgufEntry> many_keys;
    for (int i = 0; i < 20000; ++i) {
        many_keys.emplace_back("x.key" + std::to_string(i), std::uint32_t{1});
    }
    const std::vector<std::pair<std::string, std::vector<kestrune::testing::GgufEntry>>> files = {
        {"block_count", {{"llama.block_count", std::uint32_t{2147483647}}}},
        {"keys", many_keys},
    };
    start({.models_dirs = {dir.path().string()}});
    for (const auto& [says, entries] : files) {
        const std::string hostile = (dir.path() / (says + ".gguf")).string();
        kestrune::testing::write_gguf_header(hostile, kestrune::testing::llama_header(entries));
        auto refused = post("/v1/chat/completions", user_chat(hostile, "the cat", 2));
        ASSERT_TRUE(refused) << "the server went down";
        EXPECT_EQ(refused->status, 400) << refused->body;
        EXPECT_NE(refused->body.find(says), std::string::npos) << refused->body;
        // Its header is still shown.
        EXPECT_EQ(post("/api/show", {{"model", hostile}})->status, 200) << says;
    }
    EXPECT_EQ(post("/v1/chat/completions", user_chat(tiny_chat_model(), "the cat", 2))->status,
              200);
}

TEST_F(ServerTest, AChatTemplateThatCrashesStallsOrFloodsIsRefusedAndTheServerGoesOn) {
    std::string nested_ifs;
    for (int i = 0; i < 10000; ++i) {
        nested_ifs += "{% if true %}";
    }
    for (int i = 0; i < 10000; ++i) {
        nested_ifs += "{% endif %}";
    }
    const std::vector<std::pair<std::string, std::string>> templates = {
        {"recursive macro", "{% macro f(x) %}{{ f(x) }}{% endmacro %}{{ f(1) }}"},
        {"nested ifs", nested_ifs},
        {"parentheses", "{{ " + std::string(100000, '(') + "1" + std::string(100000, ')') + " }}"},
        {"doubled string",
         "{% set s = namespace(v='x') %}{% for i in range(40) %}"
         "{% set s.v = s.v ~ s.v %}{% endfor %}{{ s.v }}"},
        {"endless loops",
         "{% for i in range(1000000) %}{% for j in range(1000000) %}{% endfor %}{% endfor %}"},
    };
    std::vector<std::unique_ptr<kestrune::testing::TempDir>> dirs;
    ServerOptions options;
    std::vector<std::string> models;
    for (std::size_t i = 0; i < templates.size(); ++i) {
        dirs.push_back(std::make_unique<kestrune::testing::TempDir>());
        models.push_back(kestrune::testing::with_chat_template(*dirs.back(), templates[i].second));
        options.models_dirs.push_back(dirs.back()->path().string());
    }
    options.models_dirs.push_back(std::filesystem::path(tiny_chat_model()).parent_path());
    start(options);
    for (std::size_t i = 0; i < templates.size(); ++i) {
        auto refused = post("/v1/chat/completions", user_chat(models[i], "the cat", 2));
        ASSERT_TRUE(refused) << templates[i].first << ": the server went down";
        EXPECT_EQ(refused->status, 400) << templates[i].first << " " << refused->body;
        EXPECT_NE(refused->body.find("chat template"), std::string::npos) << refused->body;
    }
    EXPECT_EQ(post("/v1/chat/completions", user_chat(tiny_chat_model(), "the cat", 2))->status,
              200);
}

TEST_F(ServerTest, OnLoopbackOnlyRequestsNamingThisMachineAreAnswered) {
    start({.allowed_hosts = {"my.box"}});
    const std::string port = std::to_string(server_->port());
    for (const auto& [host, status] : std::vector<std::pair<std::string, int>>{
             {"evil.example", 403},
             {"evil.example:" + port, 403},
             {"127.0.0.1.evil.example:" + port, 403},
             {"127.0.0.1:" + port, 200},
             {"localhost:" + port, 200},
             {"[::1]:" + port, 200},
             {"my.box", 200},
             {"my.box:" + port, 200},
         }) {
        auto answer = client_->Get("/v1/models", {{"Host", host}});
        ASSERT_TRUE(answer) << host;
        EXPECT_EQ(answer->status, status) << host;
    }
    auto refused =
        client_->Post("/api/chat", {{"Host", "evil.example"}},
                      user_chat(tiny_chat_model(), "the cat", 2).dump(), "application/json");
    EXPECT_EQ(refused->status, 403);
    EXPECT_NE(refused->body.find("--allow-host"), std::string::npos) << refused->body;
}

// The stores of other runtimes, in their own layouts under the home directory: each model is
// listed by both APIs with what its header says, and opens by the name listed.
TEST_F(ServerTest, EveryStoresModelsAreListedAndOpenByTheNamesListed) {
    namespace fs = std::filesystem;
    const std::string ollama = home_ / ".ollama/models";
    const std::string digest = kestrune::testing::ollama_digest('a');
    kestrune::testing::write_file(
        kestrune::testing::ollama_manifest_path(ollama, "tiny", "latest"),
        kestrune::testing::ollama_manifest(
            {{.media_type = "application/vnd.ollama.image.model", .digest = digest}}));
    const std::string blob = kestrune::testing::ollama_blob_path(ollama, digest);
    fs::create_directories(fs::path(blob).parent_path());
    fs::copy_file(tiny_chat_model(), blob);
    const std::string studio = home_ / ".cache/lm-studio/models/pub/repo/b-Q4_K_M.gguf";
    fs::create_directories(fs::path(studio).parent_path());
    fs::copy_file(tiny_chat_model(), studio);
    start();

    const Json tags = Json::parse(get("/api/tags")->body);
    std::vector<std::string> names;
    for (const Json& model : tags["models"]) {
        names.push_back(model["name"]);
        EXPECT_GT(model["size"].get<long long>(), 0) << model;
        EXPECT_EQ(model["details"]["family"], "llama") << model;
    }
    for (const std::string name : {"tiny:latest", "b-Q4_K_M.gguf"}) {
        EXPECT_NE(std::ranges::find(names, name), names.end()) << name << " " << tags;
    }
    const Json models = Json::parse(get("/v1/models")->body);
    EXPECT_EQ(models["data"].size(), tags["models"].size()) << models;
    for (const std::string name : {"tiny:latest", "b-Q4_K_M.gguf", "b-Q4_K_M"}) {
        auto answer = post("/v1/chat/completions", user_chat(name, "the cat", 2));
        EXPECT_EQ(answer->status, 200) << name << " " << answer->body;
        EXPECT_EQ(post("/api/show", {{"model", name}})->status, 200) << name;
    }
    EXPECT_EQ(post("/v1/chat/completions", user_chat("tiny:other", "the cat", 2))->status, 404);

    // Deleting: Kestrune's own cache only, a loaded model unloaded first.
    const std::string cached = kestrune::registry::RegistryStore().store_dir() + "/cached.gguf";
    fs::create_directories(fs::path(cached).parent_path());
    fs::copy_file(tiny_chat_model(), cached);
    ASSERT_EQ(post("/v1/chat/completions", user_chat("cached", "the cat", 2))->status, 200);
    const auto remove = [&](const std::string& name) {
        return client_->Delete("/api/delete", Json{{"model", name}}.dump(), "application/json");
    };
    auto removed = remove("cached");
    EXPECT_EQ(removed->status, 200) << removed->body;
    EXPECT_FALSE(fs::exists(cached));
    const Json ps = Json::parse(get("/api/ps")->body);
    for (const Json& model : ps["models"]) {
        EXPECT_NE(model["name"], "cached") << ps;
    }
    EXPECT_EQ(remove("cached")->status, 404);
    auto foreign = remove("tiny:latest");
    EXPECT_EQ(foreign->status, 404) << foreign->body;
    EXPECT_TRUE(fs::exists(blob)) << "another runtime's store is never touched";
}

TEST_F(ServerTest, ModelNamesTooLongOrOfUnknownKindsGetTheServersOwn400) {
    start();
    for (const auto& [name, says] : std::vector<std::pair<std::string, std::string>>{
             {std::string(100000, 'm'), "longer than the 4096 allowed"},
             {"file:///etc/passwd", "unknown kind of model reference 'file://'"},
         }) {
        auto refused = post("/v1/chat/completions", user_chat(name, "the cat", 2));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << refused->body;
        EXPECT_NE(refused->body.find(says), std::string::npos) << refused->body;
    }
}

TEST_F(ServerTest, TheServerOpensOnlyWhatItServesAndShowsNoPathOfTheMachine) {
    const kestrune::testing::TempDir served;
    const kestrune::testing::TempDir elsewhere;
    std::filesystem::copy_file(tiny_chat_model(), served.path() / "shelved.gguf");
    std::filesystem::copy_file(tiny_chat_model(), elsewhere.path() / "hidden.gguf");
    const std::string outside =
        (served.path() / ".." / elsewhere.path().filename() / "hidden.gguf");
    start({.models_dirs = {served.path().string()}});
    // Whether the file exists, is a model or is no model at all, the answer is the same.
    for (const std::string& name : {std::string("/etc/passwd"), std::string("/no/such/file.gguf"),
                                    std::string("../../etc/passwd"), std::string("~/.bashrc"),
                                    (elsewhere.path() / "hidden.gguf").string(), outside}) {
        for (const std::string path : {"/v1/chat/completions", "/api/show"}) {
            auto answer = post(path, user_chat(name, "the cat", 2));
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->status, 404) << name << " " << answer->body;
            EXPECT_NE(answer->body.find("is not served here"), std::string::npos) << answer->body;
        }
    }
    // A file of a models folder, by path and then by its short name; the default by its own.
    const std::vector<std::string> served_names = {(served.path() / "shelved.gguf").string(),
                                                   "shelved", "tiny-chat", "tiny-chat.gguf"};
    for (const std::string& name : served_names) {
        auto answer = post("/v1/chat/completions", user_chat(name, "the cat", 2));
        EXPECT_EQ(answer->status, 200) << name << " " << answer->body;
    }
    const Json listed = Json::parse(get("/v1/models")->body);
    for (const Json& model : listed["data"]) {
        EXPECT_EQ(model["id"].get<std::string>().find('/'), std::string::npos) << model;
    }
}

TEST_F(ServerTest, BodiesAPageCouldPostWithoutAskingAreRefused) {
    start();
    const std::string body = user_chat(tiny_chat_model(), "the cat", 2).dump();
    for (const auto& [type, status] : std::vector<std::pair<std::string, int>>{
             {"text/plain", 415},
             {"application/x-www-form-urlencoded", 415},
             {"application/json; charset=utf-8", 200},
             {"Application/JSON", 200},
         }) {
        for (const std::string path : {"/v1/chat/completions", "/api/chat"}) {
            auto answer = client_->Post(path, body, type);
            ASSERT_TRUE(answer) << type;
            EXPECT_EQ(answer->status, status) << path << " " << type;
        }
    }
}

TEST_F(ServerTest, TheAccessLogWritesOutWhatAClientSentRatherThanObeyingIt) {
    ::testing::internal::CaptureStderr();
    start({}, false);
    EXPECT_EQ(get("/%1b%5b2J%0d%0aGET%20/forged")->status, 404);
    EXPECT_EQ(get("/" + std::string(5000, 'a'))->status, 404);
    server_.reset();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
    EXPECT_EQ(log.find("\nGET /forged"), std::string::npos) << log;
    EXPECT_EQ(log.find(std::string(201, 'a')), std::string::npos) << "a request line is capped";
    EXPECT_NE(log.find(" 404 0 tokens"), std::string::npos) << log;
}

TEST_F(ServerTest, WithAKeyEveryRequestMustCarryIt) {
    start({.api_key = "s3cret"});
    auto none = get("/v1/models");
    EXPECT_EQ(none->status, 401);
    EXPECT_EQ(Json::parse(none->body)["error"]["type"], "authentication_error");
    client_->set_bearer_token_auth("s3creT");
    EXPECT_EQ(get("/v1/models")->status, 401);
    auto ollama = get("/api/tags");
    EXPECT_EQ(ollama->status, 401);
    EXPECT_TRUE(Json::parse(ollama->body)["error"].is_string());
    EXPECT_EQ(ollama->body.find("s3cret"), std::string::npos);
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"Authorization", "bearer s3cret"},
                                                          {"Authorization", "BEARER s3cret"},
                                                          {"x-api-key", "s3cret"}}) {
        EXPECT_EQ(client_->Get("/v1/models", {{name, value}})->status, 200) << name << value;
    }
    EXPECT_EQ(client_->Get("/v1/models", {{"x-api-key", "s3cre"}})->status, 401);
    client_->set_bearer_token_auth("s3cret");
    EXPECT_EQ(get("/v1/models")->status, 200);
    EXPECT_EQ(post("/api/generate", {{"model", tiny_chat_model()},
                                     {"prompt", "hi"},
                                     {"stream", false},
                                     {"options", {{"num_predict", 2}}}})
                  ->status,
              200);
}

TEST(KeepAliveDurations, ReadAsOllamaWritesThem) {
    using kestrune::server::fields::duration;
    using std::chrono::seconds;
    const std::vector<std::pair<std::string, long long>> durations = {
        {"5m", 300}, {"1h30m", 5400}, {"90s", 90}, {"300", 300},  {"2.5m", 150},
        {"0", 0},    {"500ms", 0},    {"-1", -1},  {"-5m", -300}, {"99999999999h", 1000000000}};
    for (const auto& [text, expected] : durations) {
        EXPECT_EQ(duration(text), seconds(expected)) << text;
    }
    for (const std::string bad : {"", "m", "5x", "5 m", "--1", "1h-5m"}) {
        EXPECT_THROW(duration(bad), kestrune::InvalidValueError) << bad;
    }
}

// An idle model goes when its time runs out: the server's default, or a request's keep_alive
// (0: as soon as it is idle); a load or unload request answers at once; /api/ps says when.
TEST_F(ServerTest, IdleModelsAreUnloadedWhenTheirKeepAliveRunsOut) {
    start({.keep_alive = "3s"});
    const auto loaded_names = [&] {
        std::vector<std::string> names;
        const Json ps = Json::parse(get("/api/ps")->body);
        for (const Json& model : ps["models"]) {
            names.push_back(model["name"]);
        }
        return names;
    };
    // Polled without a pause: a model list holding the model for a moment is no use of it.
    const auto unloaded_within = [&](std::chrono::seconds patience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!loaded_names().empty()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
        return true;
    };
    EXPECT_EQ(loaded_names(), std::vector<std::string>{"tiny-chat"});
    EXPECT_TRUE(unloaded_within(std::chrono::seconds(8))) << "the server's keep-alive of 3 s";

    const Json generate = {{"model", tiny_chat_model()},
                           {"prompt", "the cat"},
                           {"stream", false},
                           {"keep_alive", -1},
                           {"options", {{"num_predict", 2}}}};
    ASSERT_EQ(post("/api/generate", generate)->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const Json kept = Json::parse(get("/api/ps")->body)["models"];
    ASSERT_EQ(kept.size(), 1U) << "kept for ever";
    EXPECT_EQ(kept[0]["expires_at"], "9999-12-31T23:59:59Z");

    Json load = {{"model", tiny_chat_model()}, {"keep_alive", "10m"}};
    const Json loading = Json::parse(post("/api/generate", load)->body);
    EXPECT_EQ(loading["done_reason"], "load") << loading;
    const std::string expires = Json::parse(get("/api/ps")->body)["models"][0]["expires_at"];
    EXPECT_LT(expires, "9999") << expires;
    load["keep_alive"] = 0;
    const Json unloading = Json::parse(post("/api/chat", load)->body);
    EXPECT_EQ(unloading["done_reason"], "unload") << unloading;
    EXPECT_TRUE(loaded_names().empty()) << "an unload request answers once it is done";

    Json answered = generate;
    answered["keep_alive"] = "0s";
    ASSERT_EQ(post("/api/generate", answered)->status, 200);
    EXPECT_TRUE(unloaded_within(std::chrono::seconds(2))) << "0: gone once idle";
    answered["keep_alive"] = "soon";
    EXPECT_EQ(post("/api/generate", answered)->status, 400);
}

TEST_F(ServerTest, BeyondMaxModelsTheLeastRecentlyUsedIsUnloaded) {
    start({.max_models = 2});
    const std::string other = kestrune::testing::bundled_chat_model();
    const std::string third = kestrune::testing::deeper_chat_model();
    for (const std::string& model : {other, tiny_chat_model(), third}) {
        ASSERT_EQ(post("/v1/chat/completions", user_chat(model, "hi", 2))->status, 200) << model;
    }
    const Json ps = Json::parse(get("/api/ps")->body);
    ASSERT_EQ(ps["models"].size(), 2U) << ps;
    EXPECT_EQ(ps["models"][0]["name"], "kestrune-tiny-chat-deeper");
    EXPECT_EQ(ps["models"][1]["name"], "tiny-chat");
}

// --- many clients --------------------------------------------------------------------------------

TEST_F(ServerTest, AModelBeingDownloadedKeepsNoOtherRequestWaiting) {
    // A download that stalls until the test lets it go on.
    kestrune::testing::Gate release;
    std::atomic<bool> asked_for_file = false;
    kestrune::testing::LoopbackServer files([&](httplib::Server& server) {
        server.Get("/slow.gguf", [&](const httplib::Request&, httplib::Response& response) {
            asked_for_file = true;
            release.wait();
            response.set_content("not a model", "application/octet-stream");
        });
    });
    kestrune::testing::OpenOnExit opened{release};
    const kestrune::testing::TempDir downloads;
    start({.allow_pull = true, .download_dir = downloads.path().string()});
    ASSERT_EQ(post("/v1/chat/completions", user_chat(tiny_chat_model(), "the cat", 2))->status,
              200);
    auto pulling = std::async(std::launch::async, [&] {
        httplib::Client other("127.0.0.1", server_->port());
        other.set_read_timeout(60, 0);
        return other
            .Post("/v1/chat/completions", user_chat(files.url("/slow.gguf"), "the cat", 2).dump(),
                  "application/json")
            ->status;
    });
    // Until the download has begun the request may not be in the pool's hands: wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!asked_for_file) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the download never began";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(get("/v1/models")->status, 200);
    EXPECT_EQ(get("/api/ps")->status, 200);
    EXPECT_EQ(post("/v1/chat/completions", user_chat(tiny_chat_model(), "the dog", 2))->status,
              200);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5))
        << "the loaded model waited behind the download";
    release.open();
    EXPECT_EQ(pulling.get(), 400) << "what was downloaded is no model";
}

// A pull streams Ollama's progress lines and lands in Kestrune's cache, where the model list
// shows it; without --allow-pull it is a 403 that says how to allow it.
TEST_F(ServerTest, APullStreamsItsProgressAndTheModelIsListedAfter) {
    std::ifstream in(tiny_chat_model(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    kestrune::testing::LoopbackServer files([&](httplib::Server& server) {
        server.Get("/pulled.gguf", [&](const httplib::Request&, httplib::Response& response) {
            response.set_content(bytes, "application/octet-stream");
        });
    });
    const std::string cache = kestrune::registry::RegistryStore().store_dir();
    std::filesystem::create_directories(cache);
    start({.allow_pull = true, .download_dir = cache});
    auto pulled = post("/api/pull", {{"model", files.url("/pulled.gguf")}});
    ASSERT_EQ(pulled->status, 200) << pulled->body;
    const std::vector<Json> lines = ndjson(pulled->body);
    ASSERT_GE(lines.size(), 3U) << pulled->body;
    EXPECT_EQ(lines.front()["status"], "pulling manifest");
    EXPECT_EQ(lines.back()["status"], "success");
    const Json& last_progress = lines[lines.size() - 2];
    EXPECT_EQ(last_progress["completed"], bytes.size()) << last_progress;
    EXPECT_EQ(last_progress["total"], bytes.size()) << last_progress;
    const std::string tags = get("/api/tags")->body;
    EXPECT_NE(tags.find("pulled"), std::string::npos) << tags;
    EXPECT_EQ(post("/api/pull", {{"model", files.url("/pulled.gguf")}, {"stream", false}})->body,
              R"({"status":"success"})");
    const std::vector<Json> missing =
        ndjson(post("/api/pull", {{"model", files.url("/missing.gguf")}})->body);
    EXPECT_TRUE(missing.back().contains("error")) << missing.back();

    server_.reset();
    start();
    auto refused = post("/api/pull", {{"model", files.url("/pulled.gguf")}});
    EXPECT_EQ(refused->status, 403);
    EXPECT_NE(refused->body.find("--allow-pull"), std::string::npos) << refused->body;
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST_F(ServerTest, WhileTheDefaultModelLoadsHealthAndEveryApiRouteAnswer503) {
    kestrune::testing::Gate release;
    std::atomic<bool> asked_for_file = false;
    kestrune::testing::LoopbackServer files([&](httplib::Server& server) {
        server.Get("/slow.gguf", [&](const httplib::Request&, httplib::Response& response) {
            asked_for_file = true;
            release.wait();
            response.set_content("not a model", "application/octet-stream");
        });
    });
    kestrune::testing::OpenOnExit opened{release};
    const kestrune::testing::TempDir downloads;
    const int port = free_port();
    Server loading({.port = port,
                    .model = files.url("/slow.gguf"),
                    .quiet = true,
                    .download_dir = downloads.path().string()});
    auto started = std::async(std::launch::async, [&] { loading.start(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!asked_for_file) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the download never began";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    httplib::Client client("127.0.0.1", port);
    EXPECT_EQ(client.Get("/health")->status, 503);
    EXPECT_EQ(client.Get("/v1/models")->status, 503);
    EXPECT_EQ(client.Post("/api/chat", "{}", "application/json")->status, 503);
    release.open();
    EXPECT_THROW(started.get(), std::exception) << "what was downloaded is no model";
}

TEST_F(ServerTest, OnlyPagesOfThisMachineAndAllowedOriginsMayReadTheAnswers) {
    start({.api_key = "s3cret", .allowed_origins = {"https://app.example"}});
    struct Case {
        std::string method;
        std::string origin;
        int status;
        std::string allowed;  // the Access-Control-Allow-Origin answered ("": none)
    };
    for (const Case& each : std::vector<Case>{
             {"OPTIONS", "http://localhost:5173", 204, "http://localhost:5173"},
             {"OPTIONS", "http://127.0.0.1", 204, "http://127.0.0.1"},
             {"OPTIONS", "http://[::1]:8080", 204, "http://[::1]:8080"},
             {"OPTIONS", "https://app.example", 204, "https://app.example"},
             {"OPTIONS", "https://evil.example", 204, ""},
             {"OPTIONS", "http://localhost.evil.example", 204, ""},
             {"OPTIONS", "http://localhost:80x", 204, ""},
             // Without the key: refused, but a page of this machine can read why.
             {"GET", "http://localhost:5173", 401, "http://localhost:5173"},
             {"GET", "https://evil.example", 401, ""},
         }) {
        httplib::Headers headers = {{"Origin", each.origin},
                                    {"Access-Control-Request-Method", "POST"},
                                    {"Access-Control-Request-Headers", "authorization"}};
        auto answer = each.method == "OPTIONS" ? client_->Options("/v1/chat/completions", headers)
                                               : client_->Get("/v1/models", headers);
        ASSERT_TRUE(answer) << each.origin;
        EXPECT_EQ(answer->status, each.status) << each.method << ' ' << each.origin;
        EXPECT_EQ(answer->get_header_value("Access-Control-Allow-Origin"), each.allowed)
            << each.method << ' ' << each.origin;
        if (each.method == "OPTIONS" && !each.allowed.empty()) {
            EXPECT_EQ(answer->get_header_value("Access-Control-Allow-Headers"), "authorization");
        }
    }
    EXPECT_EQ(get("/health")->status, 200) << "a health probe needs no key";
}

TEST_F(ServerTest, TokensRoundTripAndMetricsCountWhatWasServed) {
    start({.metrics = true});
    const std::string text = "the cat sat on the mat";
    auto tokenized = post("/tokenize", {{"content", text}});
    ASSERT_EQ(tokenized->status, 200) << tokenized->body;
    const Json tokens = Json::parse(tokenized->body)["tokens"];
    ASSERT_FALSE(tokens.empty());
    auto detokenized = post("/detokenize", {{"tokens", tokens}});
    const std::string content = Json::parse(detokenized->body)["content"];
    EXPECT_TRUE(content.ends_with(text)) << content;  // after a leading space the model adds
    auto pieces = post("/tokenize", {{"content", text}, {"with_pieces", true}});
    const Json with_pieces = Json::parse(pieces->body);
    std::string joined;
    for (const Json& piece : with_pieces["tokens"]) {
        joined += piece["piece"].get<std::string>();
    }
    EXPECT_EQ(joined, content) << with_pieces;
    EXPECT_EQ(post("/detokenize", {{"tokens", {1, 1 << 30}}})->status, 400);
    EXPECT_EQ(post("/detokenize", {{"tokens", {-1}}})->status, 400);

    ASSERT_EQ(post("/api/generate", {{"prompt", "the cat"},
                                     {"stream", false},
                                     {"options", {{"num_predict", 3}, {"temperature", 0}}}})
                  ->status,
              200);
    const std::string metrics = get("/metrics")->body;
    EXPECT_NE(metrics.find("kestrune_requests_total{route=\"/api/generate\",status=\"200\"} 1"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("kestrune_requests_total{route=\"/detokenize\",status=\"400\"} 2"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("kestrune_generated_tokens_total 3"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("kestrune_sequences_busy{model=\"tiny-chat\"} 0"), std::string::npos)
        << metrics;
}

TEST_F(ServerTest, MetricsAreServedOnlyWhenAskedFor) {
    start();
    EXPECT_EQ(get("/metrics")->status, 404);
}

TEST_F(ServerTest, ParallelGreedyStreamsGiveTheirOneAtATimeAnswers) {
    start({.parallel = 4});
    const std::vector<std::string> questions = {"what is the cat doing?",
                                                "tell me about the dog",
                                                "where is the bird?",
                                                "hello",
                                                "the sun",
                                                "who are you?"};
    std::vector<std::string> alone;
    for (const std::string& question : questions) {
        alone.push_back(chat_answer(question, 24));
    }
    std::vector<std::future<std::string>> together;
    for (const std::string& question : questions) {
        together.push_back(std::async(std::launch::async, [this, question] {
            httplib::Client client("127.0.0.1", server_->port());
            client.set_read_timeout(60, 0);
            Json request = user_chat(tiny_chat_model(), question, 24);
            request["stream"] = true;
            auto result = client.Post("/v1/chat/completions", request.dump(), "application/json");
            return result ? streamed_chat_text(result->body) : std::string("(no answer)");
        }));
    }
    for (std::size_t i = 0; i < questions.size(); ++i) {
        EXPECT_EQ(together[i].get(), alone[i]) << questions[i];
    }
}

// Opens a streamed request on a raw socket, reads its first bytes and hangs up.
void hang_up_mid_stream(int port, const std::string& body) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request =
        "POST /v1/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::array<char, 512> buffer{};
    ASSERT_GT(::read(fd, buffer.data(), buffer.size()), 0);
    ::close(fd);
}

TEST_F(ServerTest, BeyondTheQueueRequestsAre429AndStoppingEndsStreamsCleanly) {
    start({.model = kestrune::testing::throughput_model(),
           .parallel = 1,
           .n_ctx = 4096,
           .max_queue = 1});
    const Json endless = {{"model", kestrune::testing::throughput_model()},
                          {"prompt", "the cat"},
                          {"stream", true},
                          {"max_tokens", 4000}};
    StreamedPost running(server_->port(), "/v1/completions", endless.dump());
    // Once it streams, one more request waits in the queue (its headers come once it is
    // queued) and the next is refused.
    ASSERT_TRUE(running.wait_for_body());
    StreamedPost queued(server_->port(), "/v1/completions", endless.dump());
    ASSERT_TRUE(queued.wait_for_headers());
    auto refused = post("/v1/completions", endless);
    EXPECT_EQ(refused->status, 429) << refused->body;
    EXPECT_EQ(Json::parse(refused->body)["error"]["type"], "rate_limit_error");
    // Stopping ends the running stream as a complete answer; the waiting one never started.
    server_->stop();
    EXPECT_EQ(sse_data(running.finish().body).back(), "[DONE]");
    const auto never_started = sse_data(queued.finish().body);
    ASSERT_EQ(never_started.size(), 2U);
    EXPECT_EQ(Json::parse(never_started[0])["error"]["message"], "The server is stopping");
}

TEST_F(ServerTest, HangingUpMidStreamFreesTheSlotAtTheNextStep) {
    // The access lines tell how many tokens the abandoned stream got before its slot came free.
    std::ostringstream log;
    std::streambuf* const standard_error = std::cerr.rdbuf(log.rdbuf());
    const std::string model = kestrune::testing::throughput_model();
    server_ = std::make_unique<Server>(
        ServerOptions{.port = 0, .model = model, .parallel = 1, .n_ctx = 4096, .max_queue = 1});
    server_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(300, 0);
    const Json endless = {
        {"model", model}, {"prompt", "the cat"}, {"stream", true}, {"max_tokens", 4000}};
    hang_up_mid_stream(server_->port(), endless.dump());
    // Waits in the queue until the slot is free.
    const auto after =
        post("/v1/completions", {{"model", model}, {"prompt", "x"}, {"max_tokens", 2}});
    server_->stop();
    std::cerr.rdbuf(standard_error);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    std::smatch abandoned;
    const std::string lines = log.str();
    ASSERT_TRUE(
        std::regex_search(lines, abandoned, std::regex(R"(POST /v1/completions 200 (\d+) tokens)")))
        << lines;
    EXPECT_LT(std::stoi(abandoned[1]), 1000) << lines;
}

// --- tools and reasoning -------------------------------------------------------------------------

using kestrune::ChatReply;
using kestrune::testing::vocab_model;

const Json kWebSearchTool = {{"type", "function"},
                             {"function",
                              {{"name", "web_search"},
                               {"description", "Search the web"},
                               {"parameters",
                                {{"type", "object"},
                                 {"properties", {{"query", {{"type", "string"}}}}},
                                 {"required", {"query"}}}}}}};

// A template that opens the model's reasoning in the prompt unless asked not to, as Qwen 3's
// does.
constexpr const char* kThinkingTemplate =
    "{%- for message in messages -%}"
    "{%- if message.role == 'assistant' and message.reasoning_content -%}"
    "{{- '<|im_start|>assistant\\n<think>\\n' + message.reasoning_content + '\\n</think>\\n\\n'"
    " + message.content + '<|im_end|>\\n' -}}"
    "{%- else -%}"
    "{{- '<|im_start|>' + message.role + '\\n' + message.content + '<|im_end|>\\n' -}}"
    "{%- endif -%}"
    "{%- endfor -%}"
    "{%- if add_generation_prompt -%}{{- '<|im_start|>assistant\\n' -}}"
    "{%- if enable_thinking is defined and enable_thinking is false -%}"
    "{{- '<think>\\n\\n</think>\\n\\n' -}}"
    "{%- else -%}{{- '<think>\\n' -}}{%- endif -%}{%- endif -%}";

// A model that thinks first: what the random weights generate after the opened reasoning is
// reasoning, read out of the answer into a field of its own.
TEST_F(ServerTest, ReasoningComesInItsOwnFieldWholeAndStreamed) {
    const kestrune::testing::TempDir dir;
    const std::string model = kestrune::testing::with_chat_template(dir, kThinkingTemplate);
    start({.model = model});
    Json request = user_chat(model, "Weather in Paris?", 12);
    request["tools"] = Json::array({kWebSearchTool});
    auto whole = post("/v1/chat/completions", request);
    ASSERT_EQ(whole->status, 200) << whole->body;
    const Json message = Json::parse(whole->body)["choices"][0]["message"];
    ASSERT_TRUE(message.contains("reasoning_content")) << message.dump();
    const std::string reasoning = message["reasoning_content"];
    EXPECT_FALSE(reasoning.empty());
    EXPECT_EQ(reasoning.find("<think>"), std::string::npos) << reasoning;

    request["stream"] = true;
    auto streamed = post("/v1/chat/completions", request);
    ASSERT_EQ(streamed->status, 200);
    std::string pieces;
    for (const std::string& data : sse_data(streamed->body)) {
        if (data != "[DONE]") {
            pieces += Json::parse(data)["choices"][0]["delta"].value("reasoning_content", "");
        }
    }
    EXPECT_EQ(pieces, reasoning);

    // Ollama: "thinking", whole and in lines; asked not to think, the model answers at once.
    Json ollama = {{"model", model},
                   {"messages", request["messages"]},
                   {"think", true},
                   {"stream", false},
                   {"options", {{"temperature", 0}, {"num_predict", 12}}}};
    auto answer = post("/api/chat", ollama);
    ASSERT_EQ(answer->status, 200) << answer->body;
    EXPECT_EQ(Json::parse(answer->body)["message"]["thinking"], reasoning);
    ollama["stream"] = true;
    std::string thinking;
    for (const Json& line : ndjson(post("/api/chat", ollama)->body)) {
        thinking += line["message"].value("thinking", "");
    }
    EXPECT_EQ(thinking, reasoning);
    ollama["think"] = false;
    ollama["stream"] = false;
    const Json unthinking = Json::parse(post("/api/chat", ollama)->body);
    EXPECT_FALSE(unthinking["message"].contains("thinking")) << unthinking.dump();
}

TEST_F(ServerTest, ToolsToolCallsAndToolMessagesAreTakenInBothApis) {
    start();
    const Json conversation = Json::array(
        {{{"role", "user"}, {"content", "What is llama.cpp?"}},
         {{"role", "assistant"},
          {"content", nullptr},
          {"tool_calls",
           {{{"id", "call_1"},
             {"type", "function"},
             {"function", {{"name", "web_search"}, {"arguments", R"({"query":"llama.cpp"})"}}}}}}},
         {{"role", "tool"}, {"tool_call_id", "call_1"}, {"content", "1. llama.cpp"}}});
    Json request = user_chat(tiny_chat_model(), "", 4);
    request["messages"] = conversation;
    request["tools"] = Json::array({kWebSearchTool});
    auto answer = post("/v1/chat/completions", request);
    ASSERT_EQ(answer->status, 200) << answer->body;
    EXPECT_NE(Json::parse(answer->body)["choices"][0]["finish_reason"], "tool_calls");
    request["tool_choice"] = "none";
    EXPECT_EQ(post("/v1/chat/completions", request)->status, 200);
    request["tool_choice"] = "required";
    EXPECT_EQ(post("/v1/chat/completions", request)->status, 400);
    request.erase("tool_choice");
    request["tools"] = Json::array({{{"type", "function"}}});
    EXPECT_EQ(post("/v1/chat/completions", request)->status, 400);

    const Json ollama = {
        {"model", tiny_chat_model()},
        {"stream", false},
        {"tools", Json::array({kWebSearchTool})},
        {"think", false},
        {"options", {{"num_predict", 4}}},
        {"messages",
         Json::array(
             {{{"role", "user"}, {"content", "What is llama.cpp?"}},
              {{"role", "assistant"},
               {"content", ""},
               {"tool_calls",
                {{{"function", {{"name", "web_search"}, {"arguments", {{"query", "x"}}}}}}}}},
              {{"role", "tool"}, {"tool_name", "web_search"}, {"content", "1. llama.cpp"}}})}};
    auto ollama_answer = post("/api/chat", ollama);
    ASSERT_EQ(ollama_answer->status, 200) << ollama_answer->body;
    EXPECT_TRUE(Json::parse(ollama_answer->body)["done"].get<bool>());
}

// The mapping of what a model asked for, on replies recorded in Gemma 4's markup and read by
// its real template's parser.
class RecordedReplies : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        model_ = std::make_unique<kestrune::platform::llama::Llama>(
            kestrune::platform::llama::Params{.model_path = vocab_model("gemma-4"),
                                              .n_ctx = 512,
                                              .n_threads = 1,
                                              .verbose = false});
    }
    static void TearDownTestSuite() { model_.reset(); }

    static kestrune::Messages request_messages(const Json& messages) {
        return kestrune::server::fields::messages({{"messages", messages}}, "messages");
    }
    static ChatReply read(const std::string& text) {
        const auto tools =
            kestrune::server::fields::tools({{"tools", Json::array({kWebSearchTool})}}, "tools");
        const auto rendered =
            model_->render_chat({{"user", "What is llama.cpp?"}}, {.tools = tools});
        return kestrune::platform::chat_template::parse_reply(text, rendered.reply_format);
    }

    static std::unique_ptr<kestrune::platform::llama::Llama> model_;
};
std::unique_ptr<kestrune::platform::llama::Llama> RecordedReplies::model_;

constexpr const char* kRecordedCall =
    "<|channel>thought\nI should look.<channel|>"
    "<|tool_call>call:web_search{query:<|\"|>llama.cpp<|\"|>}<tool_call|>";

TEST_F(RecordedReplies, OpenAiMessagesCarryToolCallsWithArgumentsAsText) {
    const Json message = kestrune::server::openai_api::reply_message(read(kRecordedCall));
    EXPECT_EQ(message["role"], "assistant");
    EXPECT_EQ(message["reasoning_content"], "I should look.");
    EXPECT_TRUE(message["content"].is_null());
    ASSERT_EQ(message["tool_calls"].size(), 1U);
    const Json& call = message["tool_calls"][0];
    EXPECT_EQ(call["type"], "function");
    EXPECT_TRUE(call["id"].get<std::string>().starts_with("call_"));
    EXPECT_EQ(call["function"]["name"], "web_search");
    EXPECT_EQ(Json::parse(call["function"]["arguments"].get<std::string>()),
              Json({{"query", "llama.cpp"}}));
    EXPECT_FALSE(call.contains("index"));

    const Json deltas = kestrune::server::openai_api::tool_call_deltas(read(kRecordedCall));
    EXPECT_EQ(deltas[0]["index"], 0);
    EXPECT_EQ(deltas[0]["function"]["name"], "web_search");

    // Plain text, and a call that does not read as one, stay the answer.
    EXPECT_EQ(kestrune::server::openai_api::reply_message(read("It is a library.")),
              Json({{"role", "assistant"}, {"content", "It is a library."}}));
    const std::string garbled = "<|tool_call>call:web_search{query:<|\"|>llama.cpp<tool_call|>";
    EXPECT_EQ(kestrune::server::openai_api::reply_message(read(garbled))["content"], garbled);
    const ChatReply thought{.content = "Sunny.", .reasoning = "Look outside."};
    EXPECT_EQ(kestrune::server::openai_api::reply_message(thought)["reasoning_content"],
              "Look outside.");
}

TEST_F(RecordedReplies, OllamaMessagesCarryToolCallsWithArgumentsAsObjects) {
    const ChatReply reply = read(kRecordedCall);
    const Json message = kestrune::server::ollama_api::reply_message(
        {.reasoning = {}, .content = reply.content}, reply.tool_calls);
    EXPECT_EQ(message,
              Json({{"role", "assistant"},
                    {"content", ""},
                    {"tool_calls",
                     {{{"function",
                        {{"name", "web_search"}, {"arguments", {{"query", "llama.cpp"}}}}}}}}}));
    EXPECT_EQ(kestrune::server::ollama_api::reply_message({.reasoning = "Hm.", .content = "Hi."}),
              Json({{"role", "assistant"}, {"content", "Hi."}, {"thinking", "Hm."}}));
}

TEST_F(RecordedReplies, CallsAndResultsSentBackRenderInTheModelsOwnFormat) {
    // Ollama's form of a call (arguments as an object) reads as OpenAI's.
    const auto messages = request_messages(Json::array(
        {{{"role", "user"}, {"content", "What is llama.cpp?"}},
         {{"role", "assistant"},
          {"content", ""},
          {"thinking", "I should look."},
          {"tool_calls",
           {{{"function", {{"name", "web_search"}, {"arguments", {{"query", "llama.cpp"}}}}}}}}},
         {{"role", "tool"}, {"tool_name", "web_search"}, {"content", "LLM inference in C/C++."}}}));
    ASSERT_EQ(messages.size(), 3U);
    EXPECT_EQ(messages[1]["reasoning_content"], "I should look.");
    const Json calls = Json::parse(messages[1]["tool_calls"]);
    EXPECT_EQ(calls[0]["function"]["arguments"], R"({"query":"llama.cpp"})");
    EXPECT_EQ(messages[2]["name"], "web_search");
    const std::string prompt = model_->format_chat(messages);
    EXPECT_NE(prompt.find("<|tool_call>call:web_search{query:<|\"|>llama.cpp<|\"|>}"),
              std::string::npos)
        << prompt;
    EXPECT_NE(prompt.find("LLM inference in C/C++."), std::string::npos) << prompt;
}

}  // namespace

TEST_F(ServerTest, SamplingControlsAndAnswerFormatsOutOfRangeAre400NamingTheField) {
    start();
    const Json chat = user_chat(tiny_chat_model(), "hi", 4);
    const Json ollama = {
        {"model", tiny_chat_model()}, {"stream", false}, {"messages", chat["messages"]}};
    const struct {
        const char* path;
        Json fields;
        const char* named;
    } cases[] = {
        {"/v1/chat/completions", {{"temperature", 3}}, "'temperature'"},
        {"/v1/chat/completions", {{"top_p", 0}}, "'top_p'"},
        {"/v1/chat/completions", {{"presence_penalty", 2.5}}, "'presence_penalty'"},
        {"/v1/chat/completions", {{"frequency_penalty", -3}}, "'frequency_penalty'"},
        {"/v1/chat/completions", {{"min_p", -0.1}}, "'min_p'"},
        {"/v1/chat/completions", {{"typical_p", 0}}, "'typical_p'"},
        {"/v1/chat/completions", {{"top_k", -1}}, "'top_k'"},
        {"/v1/chat/completions", {{"repeat_last_n", -2}}, "'repeat_last_n'"},
        {"/v1/chat/completions", {{"logit_bias", {{"abc", 1}}}}, "'logit_bias'"},
        {"/v1/chat/completions", {{"logit_bias", {{"5", 200}}}}, "'logit_bias'"},
        {"/v1/chat/completions", {{"logit_bias", {{"99999", 1}}}}, "beyond the vocabulary"},
        {"/v1/chat/completions", {{"response_format", {{"type", "yaml"}}}}, "response_format.type"},
        {"/v1/chat/completions", {{"response_format", {{"type", "json_schema"}}}}, "json_schema"},
        {"/v1/chat/completions",
         {{"grammar", "root ::= \"a\""}, {"response_format", {{"type", "json_object"}}}},
         "cannot be combined"},
        {"/v1/chat/completions", {{"grammar", "root ::= ("}}, "not one llama.cpp can parse"},
        {"/v1/chat/completions",
         {{"tools", Json::array({kWebSearchTool})},
          {"tool_choice", {{"type", "function"}, {"function", {{"name", "nope"}}}}}},
         "'nope'"},
        {"/v1/chat/completions", {{"n", 2}}, "'n'"},
        {"/v1/chat/completions", {{"logprobs", true}}, "'logprobs'"},
        {"/v1/completions", {{"prompt", "hi"}, {"logprobs", 2}}, "'logprobs'"},
        {"/api/chat", {{"format", 5}}, "'format'"},
        {"/api/chat", {{"format", {{"type", "string"}, {"pattern", "[a-z]+"}}}}, "pattern"},
        {"/api/chat", {{"options", {{"temperature", -1}}}}, "'temperature'"},
        {"/api/generate", {{"prompt", "hi"}, {"options", {{"min_p", 2}}}}, "'min_p'"},
    };
    for (const auto& [path, fields, named] : cases) {
        Json body = std::string_view(path).starts_with("/api/") ? ollama : chat;
        body.update(fields);
        const auto answer = post(path, body);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 400) << path << " " << fields.dump() << ": " << answer->body;
        EXPECT_NE(answer->body.find(named), std::string::npos) << answer->body;
    }
    // Every control in range, and fields the server does not know, are taken.
    Json controls = chat;
    controls.update({{"presence_penalty", 0.5},
                     {"frequency_penalty", 0.5},
                     {"min_p", 0.05},
                     {"top_k", 20},
                     {"typical_p", 0.9},
                     {"repeat_last_n", -1},
                     {"logit_bias", {{"5", -100}}},
                     {"seed", 1},
                     {"n", 1},
                     {"logprobs", false},
                     {"user", "someone"},
                     {"no_such_field", true}});
    EXPECT_EQ(post("/v1/chat/completions", controls)->status, 200);
    // A grammar holds the answer on a made-up vocabulary too.
    Json yes_no = chat;
    yes_no.update({{"grammar", R"(root ::= "yes" | "no")"}, {"temperature", 1}});
    const auto answer = post("/v1/chat/completions", yes_no);
    ASSERT_EQ(answer->status, 200) << answer->body;
    const Json content = Json::parse(answer->body)["choices"][0]["message"]["content"];
    EXPECT_TRUE(content == "yes" || content == "no") << content;
}

// --- Anthropic -----------------------------------------------------------------------------------

namespace {

// The events of an Anthropic stream, each checked to carry its own name as its "type".
std::vector<Json> anthropic_events(const std::string& body) {
    std::vector<Json> events;
    std::size_t at = 0;
    while ((at = body.find("event: ", at)) != std::string::npos) {
        const std::size_t line_end = body.find('\n', at);
        const std::string name = body.substr(at + 7, line_end - at - 7);
        const std::size_t data = body.find("data: ", line_end);
        const std::size_t end = body.find("\n\n", data);
        events.push_back(Json::parse(body.substr(data + 6, end - data - 6)));
        EXPECT_EQ(events.back()["type"], name) << body;
        at = end;
    }
    return events;
}

// The text deltas of a stream joined, and its closing message_delta.
std::pair<std::string, Json> anthropic_text(const std::vector<Json>& events) {
    std::string text;
    Json last;
    for (const Json& event : events) {
        if (event["type"] == "content_block_delta" && event["delta"]["type"] == "text_delta") {
            text += event["delta"]["text"].get<std::string>();
        } else if (event["type"] == "message_delta") {
            last = event;
        }
    }
    return {text, last};
}

}  // namespace

TEST_F(ServerTest, AnthropicMessagesWholeStreamedAndCountedAgree) {
    start();
    Json request = user_chat(tiny_chat_model(), "what is the cat doing?", 24);
    request["system"] = Json::array({{{"type", "text"}, {"text", "You answer briefly."}}});
    auto whole = post("/v1/messages", request);
    ASSERT_EQ(whole->status, 200) << whole->body;
    const Json message = Json::parse(whole->body);
    EXPECT_EQ(message["type"], "message");
    EXPECT_EQ(message["model"], "tiny-chat");
    ASSERT_EQ(message["content"].size(), 1U) << message;
    const std::string text = message["content"][0]["text"];
    ASSERT_GT(text.size(), 4U);
    EXPECT_TRUE(message["stop_reason"] == "end_turn" || message["stop_reason"] == "max_tokens");

    Json counting = request;
    counting.erase("max_tokens");
    auto counted = post("/v1/messages/count_tokens", counting);
    ASSERT_EQ(counted->status, 200) << counted->body;
    EXPECT_EQ(Json::parse(counted->body)["input_tokens"], message["usage"]["input_tokens"]);

    request["stream"] = true;
    const std::vector<Json> events = anthropic_events(post("/v1/messages", request)->body);
    ASSERT_GE(events.size(), 5U);
    EXPECT_EQ(events.front()["message"]["usage"]["input_tokens"], message["usage"]["input_tokens"]);
    EXPECT_EQ(events[1]["type"], "ping");
    EXPECT_EQ(events.back()["type"], "message_stop");
    const auto [streamed, last] = anthropic_text(events);
    EXPECT_EQ(streamed, text);
    EXPECT_EQ(last["delta"]["stop_reason"], message["stop_reason"]);
    EXPECT_EQ(last["usage"]["output_tokens"], message["usage"]["output_tokens"]);

    // A stop sequence the answer reaches ends it there and is named; the limit is max_tokens.
    request["stream"] = false;
    const std::string stop = text.substr(text.size() / 2, 3);
    request["stop_sequences"] = {stop};
    const Json stopped = Json::parse(post("/v1/messages", request)->body);
    EXPECT_EQ(stopped["content"][0]["text"], text.substr(0, text.find(stop)));
    EXPECT_EQ(stopped["stop_reason"], "stop_sequence");
    EXPECT_EQ(stopped["stop_sequence"], stop);
    request.erase("stop_sequences");
    request["max_tokens"] = 2;
    EXPECT_EQ(Json::parse(post("/v1/messages", request)->body)["stop_reason"], "max_tokens");

    // Failures in this API's shape.
    const auto refused = [&](const Json& body, int status, const std::string& type) {
        auto answer = post("/v1/messages", body);
        ASSERT_EQ(answer->status, status) << answer->body;
        const Json error = Json::parse(answer->body);
        EXPECT_EQ(error["type"], "error");
        EXPECT_EQ(error["error"]["type"], type) << error;
    };
    refused(counting, 400, "invalid_request_error");
    Json unknown = request;
    unknown["model"] = "no-such-model";
    refused(unknown, 404, "not_found_error");
    Json image = request;
    image["messages"][0]["content"] =
        Json::array({{{"type", "image"}, {"source", {{"type", "base64"}, {"data", "AAAA"}}}}});
    refused(image, 400, "invalid_request_error");
    Json role = request;
    role["messages"][0]["role"] = "system";
    refused(role, 400, "invalid_request_error");
}

// Tools and their results reach the template: a conversation with a call and its result
// renders longer than without, and a call can be required only where the template gives a
// grammar for one.
TEST_F(ServerTest, AnthropicToolsAndResultsReachTheTemplateAndACallIsRequiredOnlyWhereItCanBe) {
    const kestrune::testing::TempDir dir;
    const std::string model =
        kestrune::testing::with_chat_template(dir, kestrune::testing::kHermesToolTemplate);
    start({.model = model});
    const Json tool = {{"name", "web_search"},
                       {"description", "Search the web"},
                       {"input_schema",
                        {{"type", "object"},
                         {"properties", {{"query", {{"type", "string"}, {"maxLength", 8}}}}},
                         {"required", {"query"}}}}};
    Json request = user_chat(model, "Weather in Paris?", 4);
    const auto counted = [&](const Json& body) {
        Json counting = body;
        counting.erase("max_tokens");
        return Json::parse(post("/v1/messages/count_tokens", counting)->body)["input_tokens"]
            .get<int>();
    };
    const Json shown = Json::parse(post("/api/show", {{"model", model}})->body);
    EXPECT_EQ(shown["capabilities"], Json::array({"completion", "tools"})) << shown;
    const int plain = counted(request);
    request["tools"] = {tool};
    const int offered = counted(request);
    EXPECT_GT(offered, plain + 10) << "the tool's schema is in the prompt";
    request["messages"].push_back({{"role", "assistant"},
                                   {"content",
                                    {{{"type", "text"}, {"text", "Let me look."}},
                                     {{"type", "tool_use"},
                                      {"id", "toolu_1"},
                                      {"name", "web_search"},
                                      {"input", {{"query", "Paris"}}}}}}});
    request["messages"].push_back(
        {{"role", "user"},
         {"content",
          {{{"type", "tool_result"}, {"tool_use_id", "toolu_1"}, {"content", "Sunny, 21 C"}},
           {{"type", "text"}, {"text", "And tomorrow?"}}}}});
    EXPECT_GT(counted(request), offered + 10);
    auto answered = post("/v1/messages", request);
    EXPECT_EQ(answered->status, 200) << answered->body;

    request["tool_choice"] = {{"type", "tool"}, {"name", "web_search"}};
    EXPECT_EQ(post("/v1/messages", request)->status, 200);
    request["tool_choice"] = {{"type", "tool"}, {"name", "nope"}};
    EXPECT_EQ(post("/v1/messages", request)->status, 400);
    // The tiny model's template gives no call grammar: a call cannot be required of it.
    Json tiny = user_chat(tiny_chat_model(), "hi", 4);
    tiny["tools"] = {tool};
    tiny["tool_choice"] = {{"type", "any"}};
    auto refused = post("/v1/messages", tiny);
    EXPECT_EQ(refused->status, 400) << refused->body;
    EXPECT_EQ(Json::parse(refused->body)["error"]["type"], "invalid_request_error");
}

// --- OpenAI Responses ------------------------------------------------------------------------

TEST_F(ServerTest, ResponsesWholeAndStreamedGiveTheChatsAnswerInItsItemsAndEvents) {
    start();
    const std::string answer = chat_answer("what is the cat doing?", 24);
    Json request = {{"model", tiny_chat_model()},
                    {"input", "what is the cat doing?"},
                    {"max_output_tokens", 24},
                    {"temperature", 0}};
    auto whole = post("/v1/responses", request);
    ASSERT_EQ(whole->status, 200) << whole->body;
    const Json response = Json::parse(whole->body);
    EXPECT_EQ(response["object"], "response");
    EXPECT_EQ(response["model"], "tiny-chat");
    ASSERT_EQ(response["output"].size(), 1U) << response;
    EXPECT_EQ(response["output"][0]["type"], "message");
    EXPECT_EQ(response["output"][0]["content"][0]["text"], answer);
    EXPECT_EQ(response["usage"]["output_tokens"].get<int>() > 0, true);

    request["stream"] = true;
    const std::string body = post("/v1/responses", request)->body;
    std::vector<Json> events;
    for (const std::string& data : sse_data(body)) {
        events.push_back(Json::parse(data));
    }
    ASSERT_GE(events.size(), 8U) << body;
    EXPECT_EQ(events.front()["type"], "response.created");
    std::string streamed;
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i]["sequence_number"], i);
        if (events[i]["type"] == "response.output_text.delta") {
            streamed += events[i]["delta"].get<std::string>();
        }
    }
    EXPECT_EQ(streamed, answer);
    const Json last = events.back();
    EXPECT_TRUE(last["type"] == "response.completed" || last["type"] == "response.incomplete");
    EXPECT_EQ(last["response"]["status"], response["status"]);
    EXPECT_EQ(last["response"]["output"][0]["content"][0]["text"], answer);
    EXPECT_EQ(last["response"]["usage"], response["usage"]);

    // Items: instructions, a call and its output; then what the API cannot answer.
    request["stream"] = false;
    request["instructions"] = "Answer briefly.";
    request["tools"] = {{{"type", "function"},
                         {"name", "web_search"},
                         {"parameters", kWebSearchTool["function"]["parameters"]}}};
    request["input"] = {
        {{"role", "user"}, {"content", {{{"type", "input_text"}, {"text", "News?"}}}}},
        {{"type", "function_call"},
         {"call_id", "call_1"},
         {"name", "web_search"},
         {"arguments", R"({"query":"news"})"}},
        {{"type", "function_call_output"}, {"call_id", "call_1"}, {"output", "1. Cats."}}};
    auto items = post("/v1/responses", request);
    EXPECT_EQ(items->status, 200) << items->body;
    const auto refused = [&](const std::string& key, const Json& value) {
        Json wrong = request;
        wrong[key] = value;
        const auto refusal = post("/v1/responses", wrong);
        EXPECT_EQ(refusal->status, 400) << key << ": " << refusal->body;
        return Json::parse(refusal->body)["error"]["message"].get<std::string>();
    };
    EXPECT_NE(refused("previous_response_id", "resp_1").find("keeps no responses"),
              std::string::npos);
    refused("tools", {{{"type", "web_search_preview"}}});
    refused("tool_choice", {{"type", "function"}, {"name", "nope"}});
    refused("input", 42);
    refused("text", {{"format", {{"type", "yaml"}}}});
}

// --- embeddings ----------------------------------------------------------------------------------

namespace {

std::vector<float> floats(const Json& vector) {
    return vector.get<std::vector<float>>();
}

double dot(const std::vector<float>& a, const std::vector<float>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        sum += static_cast<double>(a[i]) * b[i];
    }
    return sum;
}

}  // namespace

// One vector per input, of unit length, the same through every route and from the text's token
// ids as from the text; it agrees with llama.cpp's own server on the same model and pooling.
TEST_F(ServerTest, EmbeddingsAreOneUnitVectorPerInputInEveryShapeAsLlamaCppGivesThem) {
    start();
    auto openai = post("/v1/embeddings", {{"model", tiny_chat_model()},
                                          {"input", {"the cat sat on the mat", "a dog"}}});
    ASSERT_EQ(openai->status, 200) << openai->body;
    const Json body = Json::parse(openai->body);
    ASSERT_EQ(body["data"].size(), 2U);
    EXPECT_EQ(body["model"], "tiny-chat");
    const std::vector<float> cat = floats(body["data"][0]["embedding"]);
    const std::vector<float> dog = floats(body["data"][1]["embedding"]);
    EXPECT_NEAR(dot(cat, cat), 1.0, 1e-4);
    EXPECT_NEAR(dot(dog, dog), 1.0, 1e-4);
    EXPECT_LT(dot(cat, dog), 0.9999) << "two texts, two vectors";
    EXPECT_GT(body["usage"]["prompt_tokens"].get<int>(), 6);

    const Json ollama =
        Json::parse(post("/api/embed", {{"input", "the cat sat on the mat"}})->body);
    EXPECT_NEAR(dot(floats(ollama["embeddings"][0]), cat), 1.0, 1e-5) << ollama;
    const Json legacy =
        Json::parse(post("/api/embeddings", {{"prompt", "the cat sat on the mat"}})->body);
    EXPECT_NEAR(dot(floats(legacy["embedding"]), cat), 1.0, 1e-5);
    const Json ids = Json::parse(
        post("/tokenize", {{"content", "the cat sat on the mat"}, {"add_special", true}})->body);
    const Json from_ids = Json::parse(post("/v1/embeddings", {{"input", ids["tokens"]}})->body);
    EXPECT_NEAR(dot(floats(from_ids["data"][0]["embedding"]), cat), 1.0, 1e-5) << from_ids;

    const Json shorter =
        Json::parse(post("/v1/embeddings", {{"input", "a dog"}, {"dimensions", 8}})->body);
    const std::vector<float> cut = floats(shorter["data"][0]["embedding"]);
    ASSERT_EQ(cut.size(), 8U);
    EXPECT_NEAR(dot(cut, cut), 1.0, 1e-4);

    // Beyond the context: OpenAI's route refuses, Ollama's cuts unless told not to.
    std::string long_text;
    for (int i = 0; i < 3000; ++i) {
        long_text += "cat ";
    }
    EXPECT_EQ(post("/v1/embeddings", {{"input", long_text}})->status, 400);
    EXPECT_EQ(post("/api/embed", {{"input", long_text}})->status, 200);
    EXPECT_EQ(post("/api/embed", {{"input", long_text}, {"truncate", false}})->status, 400);
    EXPECT_EQ(post("/v1/embeddings", {{"input", ""}})->status, 400);
    EXPECT_EQ(post("/v1/embeddings", {{"input", {1, 1 << 30}}})->status, 400);
    EXPECT_EQ(post("/v1/embeddings", {{"input", "a"}, {"encoding_format", "hex"}})->status, 400);
    EXPECT_EQ(post("/v1/embeddings", {{"input", "a"}, {"dimensions", 1 << 20}})->status, 400);

    // An embedding model (BERT: no KV cache, attention both ways, its own mean pooling) gives
    // vectors, and asked for text says it cannot.
    const std::string bert = kestrune::testing::bert_model();
    const Json bert_body = {{"model", bert}, {"input", "the cat sat on the mat"}};
    auto bert_answer = post("/v1/embeddings", bert_body);
    ASSERT_EQ(bert_answer->status, 200) << bert_answer->body;
    const std::vector<float> ours_bert =
        floats(Json::parse(bert_answer->body)["data"][0]["embedding"]);
    EXPECT_EQ(ours_bert.size(), 32U);
    EXPECT_NEAR(dot(ours_bert, ours_bert), 1.0, 1e-4);
    auto chat = post("/v1/chat/completions", user_chat(bert, "hello", 4));
    EXPECT_EQ(chat->status, 400) << chat->body;
    EXPECT_EQ(Json::parse(post("/api/show", {{"model", bert}})->body)["capabilities"],
              Json::array({"embedding"}));
    EXPECT_EQ(Json::parse(post("/api/show", {{"model", tiny_chat_model()}})->body)["capabilities"],
              Json::array({"completion"}));

    if (!kestrune::testing::LlamaServer::built()) {
        GTEST_SKIP() << "llama-server was not built at " << kestrune::testing::LlamaServer::binary;
    }
    const auto theirs = [](const std::string& model, const std::vector<std::string>& pooling) {
        kestrune::testing::LlamaServer peer(model, pooling);
        EXPECT_TRUE(peer.ready(std::chrono::seconds(60)));
        return floats(Json::parse(peer.post(
            "/v1/embeddings", R"({"input": "the cat sat on the mat"})"))["data"][0]["embedding"]);
    };
    EXPECT_GT(dot(theirs(tiny_chat_model(), {"--embeddings", "--pooling", "mean"}), cat), 0.999);
    EXPECT_GT(dot(theirs(bert, {"--embeddings"}), ours_bert), 0.999);
}
