// Models split across machines: real `kestrune worker` processes on loopback serve layers of
// the throughput model to the native adapter, which must answer as it does alone, refuse an
// unreachable worker by name before loading, and survive a worker killed mid-answer.
#include "kestrune/engine/workers.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>

#include "kestrune/backends/native.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/process.hpp"
#include "support/running_program.hpp"
#include "support/test_models.hpp"

namespace kestrune::engine {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const Messages kQuestion = {{"user", "the cat"}};
const backends::GenerationConfig kGreedy = {.max_tokens = 24, .temperature = 0.0};

struct StartedWorker {
    testing::RunningProgram program;
    std::string address;
};

StartedWorker start_worker(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {KESTRUNE_CLI_PATH, "worker", "--port", "0", "--threads", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    testing::RunningProgram program(std::move(argv));
    const std::string ready = program.next_line();
    std::smatch match;
    EXPECT_TRUE(
        std::regex_match(ready, match, std::regex(R"(Kestrune RPC worker on (127\.0\.0\.1:\d+))")))
        << ready;
    return {std::move(program), match.size() > 1 ? match[1].str() : ""};
}

backends::LoadOptions options_with(std::vector<std::string> workers) {
    return {.n_ctx = 256, .n_threads = 1, .rpc_workers = std::move(workers)};
}

std::string answer_alone() {
    static const std::string answer = [] {
        backends::NativeBackend local;
        local.load(testing::throughput_model(), options_with({}));
        return local.chat(kQuestion, kGreedy);
    }();
    return answer;
}

TEST(RpcWorkers, ASplitModelAnswersAsItDoesAloneAndFollowsReportedMemory) {
    auto first = start_worker();
    auto second = start_worker({"--mem", "3000"});
    backends::NativeBackend split;
    split.load(testing::throughput_model(), options_with({first.address, second.address}));
    EXPECT_EQ(split.chat(kQuestion, kGreedy), answer_alone());

    ASSERT_TRUE(split.worker_split());
    const InferencePlan& plan = *split.worker_split();
    ASSERT_EQ(plan.workers.size(), 2U);
    EXPECT_EQ(plan.workers[0].endpoint, first.address);
    EXPECT_EQ(plan.workers[1].free_mb, 3000);  // the --mem cap, as the worker reports it
    EXPECT_GT(plan.workers[0].n_layers, plan.workers[1].n_layers);
    EXPECT_GT(plan.workers[1].n_layers, 0);
    EXPECT_EQ(
        plan.n_gpu_layers + plan.n_cpu_layers + plan.workers[0].n_layers + plan.workers[1].n_layers,
        12);
}

TEST(RpcWorkers, AnUnreachableWorkerIsRefusedByNameBeforeAnythingLoads) {
    backends::NativeBackend backend;
    try {
        backend.load(testing::throughput_model(), options_with({"127.0.0.1:1"}));
        ADD_FAILURE() << "loaded without its worker";
    } catch (const RuntimeFailure& failure) {
        EXPECT_THAT(failure.what(), HasSubstr("RPC worker 127.0.0.1:1 is unreachable"));
    }
    EXPECT_FALSE(backend.is_loaded());
    EXPECT_THROW(backend.load(testing::throughput_model(), options_with({"no-port"})),
                 InvalidValueError);
    EXPECT_THROW(probe_workers({"127.0.0.1:70000"}), InvalidValueError);
}

TEST(RpcWorkers, AWorkerKilledMidAnswerEndsItWithItsNameAndTheNextLoadWorksWithoutIt) {
    auto first = start_worker();
    auto second = start_worker();
    backends::NativeBackend split;
    split.load(testing::throughput_model(), options_with({first.address, second.address}));
    auto pieces =
        split.stream(kQuestion, backends::GenerationConfig{.max_tokens = 2000, .temperature = 0.0});
    ASSERT_TRUE(pieces.next());
    ASSERT_TRUE(pieces.next());
    second.program.stop_with(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    try {
        while (pieces.next()) {
        }
        ADD_FAILURE() << "the answer ended normally without its worker";
    } catch (const RuntimeFailure& failure) {
        EXPECT_THAT(failure.what(), HasSubstr("RPC worker " + second.address));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 30s);

    split.load(testing::throughput_model(), options_with({first.address}));
    EXPECT_EQ(split.chat(kQuestion, kGreedy), answer_alone());
}

TEST(RpcWorkers, RunShowsTheSplitAndTheWorkerWarnsItHasNoAuthentication) {
    auto worker = start_worker();
    const auto run = platform::process::run(
        {KESTRUNE_CLI_PATH, "run", testing::throughput_model(), "-p", "the cat", "--temperature",
         "0", "--max-tokens", "24", "--ctx", "256", "--rpc", worker.address},
        120s);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, answer_alone() + "\n");
    EXPECT_THAT(run.err, HasSubstr("Split:       " + worker.address + ": "));
    EXPECT_EQ(worker.program.stop_with(SIGTERM), 0);
    EXPECT_THAT(worker.program.standard_error(), HasSubstr("no authentication"));
}

}  // namespace
}  // namespace kestrune::engine
