// `kestrune serve` as a user runs it: the ready line with the address, an access line per
// request, usage errors, and SIGTERM or SIGINT ending running streams cleanly with status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"
#include "kestrune/backends/native.hpp"
#include "platform/os/process.hpp"
#include "support/gate.hpp"
#include "support/loopback_server.hpp"
#include "support/running_program.hpp"
#include "support/streamed_post.hpp"
#include "support/temp_home.hpp"
#include "support/test_models.hpp"

namespace {

using kestrune::Json;
using namespace std::chrono_literals;

// `kestrune serve` with `arguments`.
kestrune::testing::RunningProgram serve_process(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {KESTRUNE_CLI_PATH, "serve"});
    return kestrune::testing::RunningProgram(std::move(arguments));
}

int port_of(const std::string& ready_line) {
    std::smatch match;
    if (!std::regex_match(ready_line, match,
                          std::regex(R"(Kestrune serving on http://127\.0\.0\.1:(\d+))"))) {
        return -1;
    }
    return std::stoi(match[1]);
}

class ServeCommand : public ::testing::Test {
  protected:
    kestrune::testing::TempHome home_;
};

TEST_F(ServeCommand, ServesUntilASignalThenEndsStreamsAndExitsZero) {
    const std::string model = kestrune::testing::throughput_model();
    for (const int signal : {SIGTERM, SIGINT}) {
        auto serve = serve_process({model, "--port", "0", "--parallel", "2", "--ctx", "2048"});
        const int port = port_of(serve.next_line());
        ASSERT_GT(port, 0);
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(120, 0);
        auto tags = client.Get("/api/tags");
        ASSERT_TRUE(tags);
        EXPECT_EQ(tags->status, 200);
        EXPECT_EQ(client.Get("/nowhere")->status, 404);
        // A long stream is running when the signal comes.
        const Json request = {
            {"model", model}, {"prompt", "the cat"}, {"stream", true}, {"max_tokens", 1500}};
        kestrune::testing::StreamedPost running(port, "/v1/completions", request.dump());
        ASSERT_TRUE(running.wait_for_body());
        EXPECT_EQ(serve.stop_with(signal), 0) << signal;
        const auto streamed = running.finish();
        EXPECT_EQ(streamed.status, 200);
        EXPECT_TRUE(streamed.body.ends_with("data: [DONE]\n\n")) << streamed.body.size();
        const std::string log = serve.standard_error();
        EXPECT_NE(log.find("GET /api/tags 200 0 tokens"), std::string::npos) << log;
        EXPECT_NE(log.find("GET /nowhere 404 0 tokens"), std::string::npos) << log;
        EXPECT_TRUE(std::regex_search(
            log, std::regex(R"(POST /v1/completions 200 [1-9]\d* tokens \d+ ms)")))
            << log;
    }
}

// The command line, the server and the library decode through one token loop: the same greedy
// answer, byte for byte, whichever door the question comes through.
TEST_F(ServeCommand, RunServeAndTheLibraryGiveTheSameGreedyAnswer) {
    const std::string model = kestrune::testing::bundled_chat_model();
    const std::string question = "How do I pull a model?";
    constexpr int kTokens = 48;

    kestrune::backends::NativeBackend library;
    library.load(model, {.n_ctx = 2048, .n_threads = 1});
    const std::string from_library = library.chat(
        {{"user", question}},
        kestrune::backends::GenerationConfig{.max_tokens = kTokens, .temperature = 0.0});
    ASSERT_FALSE(from_library.empty());

    const auto run = kestrune::platform::process::run(
        {KESTRUNE_CLI_PATH, "run", model, "-p", question, "--temperature", "0", "--max-tokens",
         std::to_string(kTokens)},
        120s);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, from_library + "\n");

    auto serve = serve_process({model, "--port", "0", "--quiet"});
    const int port = port_of(serve.next_line());
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120, 0);
    // The library's default repeat penalty, asked for by name.
    const Json request = {
        {"model", model},
        {"messages", {{{"role", "user"}, {"content", question}}}},
        {"stream", false},
        {"options", {{"temperature", 0}, {"repeat_penalty", 1.1}, {"num_predict", kTokens}}}};
    const auto answer = client.Post("/api/chat", request.dump(), "application/json");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    EXPECT_EQ(Json::parse(answer->body)["message"]["content"], from_library);
}

TEST_F(ServeCommand, QuietServesWithoutAccessLinesAndAKeyStaysOutOfTheLog) {
    auto serve = serve_process(
        {kestrune::testing::tiny_chat_model(), "--port", "0", "--quiet", "--api-key", "k3y-value"});
    const int port = port_of(serve.next_line());
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    EXPECT_EQ(client.Get("/v1/models")->status, 401);
    client.set_bearer_token_auth("k3y-value");
    EXPECT_EQ(client.Get("/v1/models")->status, 200);
    EXPECT_EQ(serve.stop_with(SIGTERM), 0);
    EXPECT_EQ(serve.standard_error(), "");
}

TEST_F(ServeCommand, AStopSignalEndsTheServerWhileItIsStillBusyStarting) {
    // The model to serve is a download that never ends.
    kestrune::testing::Gate release;
    kestrune::testing::LoopbackServer files([&](httplib::Server& server) {
        server.Get("/endless.gguf", [&](const httplib::Request&, httplib::Response& response) {
            release.wait();
            response.set_content("never mind", "application/octet-stream");
        });
    });
    kestrune::testing::OpenOnExit opened{release};
    auto serve = serve_process({files.url("/endless.gguf"), "--port", "0"});
    std::this_thread::sleep_for(1s);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(serve.stop_with(SIGTERM), 0) << serve.standard_error();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s)
        << "the server went on with its start after the signal";
}

TEST_F(ServeCommand, APortAlreadyServedIsRefusedWithStatusOne) {
    auto first = serve_process({kestrune::testing::tiny_chat_model(), "--port", "0", "--quiet"});
    const int port = port_of(first.next_line());
    ASSERT_GT(port, 0);
    const auto second = kestrune::platform::process::run(
        {KESTRUNE_CLI_PATH, "serve", kestrune::testing::tiny_chat_model(), "--port",
         std::to_string(port)},
        60s);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("address 127.0.0.1:" + std::to_string(port) + " is in use"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.out, "");
}

TEST_F(ServeCommand, MalformedCommandLinesExitTwoAndHelpHasAnExample) {
    for (const std::vector<std::string>& words : {std::vector<std::string>{"--port", "x"},
                                                  {"--port", "70000"},
                                                  {"--parallel", "0"},
                                                  {"--max-models", "0"},
                                                  {"--ctx", "-5"},
                                                  {"--unknown"}}) {
        std::vector<std::string> argv = {KESTRUNE_CLI_PATH, "serve"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto result = kestrune::platform::process::run(argv, 60s);
        EXPECT_EQ(result.exit_code, 2) << words.front() << result.err;
        EXPECT_NE(result.err.find("Usage: kestrune serve"), std::string::npos) << result.err;
    }
    const auto help = kestrune::platform::process::run({KESTRUNE_CLI_PATH, "serve", "--help"}, 60s);
    EXPECT_EQ(help.exit_code, 0);
    for (const char* shown : {"Example", "--parallel", "--api-key", "--allow-pull", "11435"}) {
        EXPECT_NE(help.out.find(shown), std::string::npos) << shown;
    }
    const auto missing = kestrune::platform::process::run(
        {KESTRUNE_CLI_PATH, "serve", "./no-such-model.gguf", "--port", "0"}, 60s);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("no-such-model.gguf"), std::string::npos) << missing.err;
}

}  // namespace
