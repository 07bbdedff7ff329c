// Models split across machines: real `kestrune worker` processes on loopback serve layers of
// the throughput model to the native adapter and the server, which must answer as they do
// alone, refuse an unreachable worker by name before loading, and survive a worker killed
// mid-answer.
#include "kestrune/engine/workers.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "core/json.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/server/server.hpp"
#include "platform/os/process.hpp"
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

StartedWorker start_worker(std::vector<std::string> extra = {}, const std::string& port = "0") {
    std::vector<std::string> argv = {KESTRUNE_CLI_PATH, "worker", "--port", port, "--threads", "1"};
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

TEST(RpcWorkers, ASecondWorkerOnAPortInUseExitsOneSayingSo) {
    const auto first = start_worker();
    const std::string port = first.address.substr(first.address.rfind(':') + 1);
    for (const std::vector<std::string>& capped :
         {std::vector<std::string>{}, std::vector<std::string>{"--mem", "3000"}}) {
        std::vector<std::string> argv = {KESTRUNE_CLI_PATH, "worker", "--port", port,
                                         "--threads",       "1"};
        argv.insert(argv.end(), capped.begin(), capped.end());
        const auto second = platform::process::run(argv, 60s);
        EXPECT_EQ(second.exit_code, 1) << second.err;
        EXPECT_EQ(second.out, "");
        EXPECT_TRUE(second.err.ends_with("kestrune: address " + first.address + " is in use\n"))
            << second.err;
    }
}

TEST(RpcWorkers, AMemoryCapBeyondWhatBytesCanCountOffersAllTheMemory) {
    auto unbounded = start_worker({"--mem", std::to_string(std::int64_t{1} << 44)});
    EXPECT_GT(probe_workers({unbounded.address}).at(0).free_mb, 0);
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

// What a fake worker claims of itself.
struct Claims {
    std::uint32_t devices = 1;
    std::uint64_t bytes_per_device = std::uint64_t{1} << 30;
};

// A worker that takes weights (it answers the handshake, its devices and their memory, and
// allocates buffers, storing nothing) and hangs up at the tensor numbered `hang_up_at`: the
// library is deep in a load when the worker is lost.
class WorkerLostMidway {
  public:
    explicit WorkerLostMidway(int hang_up_at, Claims claims = {})
        : hang_up_at_(hang_up_at), claims_(claims) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~WorkerLostMidway() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int weights_taken() const { return weights_taken_; }
    bool hung_up() const { return hung_up_; }

  private:
    void serve() {
        while (true) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            while (answer_one(client)) {
            }
            ::close(client);
        }
    }
    static bool read_all(int fd, void* data, std::size_t size) {
        return size == 0 || ::recv(fd, data, size, MSG_WAITALL) == static_cast<ssize_t>(size);
    }
    static void reply(int fd, const std::vector<std::uint8_t>& answer) {
        const std::uint64_t size = answer.size();
        ::send(fd, &size, sizeof size, MSG_NOSIGNAL);
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    static std::vector<std::uint8_t> number(std::uint64_t value, std::size_t bytes = 8) {
        std::vector<std::uint8_t> answer(bytes, 0);
        std::memcpy(answer.data(), &value, std::min<std::size_t>(bytes, sizeof value));
        return answer;
    }
    bool answer_one(int fd) {
        std::uint8_t command = 0;
        std::uint64_t size = 0;
        if (!read_all(fd, &command, 1) || !read_all(fd, &size, sizeof size)) {
            return false;
        }
        std::vector<std::uint8_t> request(size);
        if (!read_all(fd, request.data(), request.size())) {
            return false;
        }
        // The protocol's command numbers.
        enum : std::uint8_t {
            kAllocBuffer = 0,
            kGetAlignment = 1,
            kGetMaxSize = 2,
            kBufferGetBase = 3,
            kBufferClear = 5,
            kSetTensor = 6,
            kSetTensorHash = 7,
            kGetDeviceMemory = 11,
            kInitTensor = 12,
            kHello = 14,
            kDeviceCount = 15
        };
        switch (command) {
            case kHello:
                reply(fd, number(7, 28));
                return true;  // the protocol's major version
            case kDeviceCount:
                reply(fd, number(claims_.devices, 4));
                return true;
            case kGetDeviceMemory: {
                auto answer = number(claims_.bytes_per_device, 16);
                std::memcpy(answer.data() + 8, answer.data(), 8);
                reply(fd, answer);
                return true;
            }
            case kGetAlignment:
                reply(fd, number(32));
                return true;
            case kGetMaxSize:
                reply(fd, number(std::uint64_t{1} << 40));
                return true;
            case kAllocBuffer: {
                auto answer = number(++buffers_, 16);
                std::memcpy(answer.data() + 8, request.data() + 4, 8);
                reply(fd, answer);
                return true;
            }
            case kBufferGetBase:
                reply(fd, number(0x100000));
                return true;
            case kSetTensorHash:
                reply(fd, number(0, 1));
                return true;
            case kSetTensor:
                if (++weights_taken_ == hang_up_at_) {
                    hung_up_ = true;
                    return false;
                }
                return true;
            case kBufferClear:
            case kInitTensor:
                return true;
            default:
                hung_up_ = true;
                return false;
        }
    }

    int hang_up_at_;
    Claims claims_;
    int listener_ = -1;
    int port_ = 0;
    std::uint64_t buffers_ = 0;
    std::atomic<int> weights_taken_{0};
    std::atomic<bool> hung_up_{false};
    std::thread thread_;
};

TEST(RpcWorkers, AWorkerLostDuringTheLoadFailsItByNameWithoutAbortingTheProgram) {
    WorkerLostMidway lost_in_load(3);
    backends::NativeBackend backend;
    try {
        backend.load(testing::throughput_model(), options_with({lost_in_load.address()}));
        ADD_FAILURE() << "loaded without its worker";
    } catch (const RuntimeFailure& failure) {
        EXPECT_THAT(failure.what(),
                    HasSubstr("RPC worker " + lost_in_load.address() + " stopped answering"));
    }
    EXPECT_GT(lost_in_load.weights_taken(), 0);
    EXPECT_TRUE(lost_in_load.hung_up());
    EXPECT_FALSE(backend.is_loaded());
}

// A hostile or broken worker's account of itself is not taken on trust: the library would
// place layers on devices that do not exist, and sums of huge memories must not wrap to little.
TEST(RpcWorkers, AWorkerClaimingNoDeviceOrTooManyIsRefusedByNameBeforeLoading) {
    for (const std::uint32_t devices : {0U, 17U, 4'000'000'000U}) {
        WorkerLostMidway implausible(1, {.devices = devices});
        backends::NativeBackend backend;
        try {
            backend.load(testing::throughput_model(), options_with({implausible.address()}));
            ADD_FAILURE() << "loaded on a worker of " << devices << " devices";
        } catch (const RuntimeFailure& failure) {
            EXPECT_THAT(failure.what(),
                        HasSubstr("RPC worker " + implausible.address() + " reports " +
                                  std::to_string(devices) + " devices"));
        }
        EXPECT_EQ(implausible.weights_taken(), 0);
    }
    WorkerLostMidway boastful(1, {.devices = 2, .bytes_per_device = std::uint64_t{1} << 63});
    EXPECT_GT(probe_workers({boastful.address()}).at(0).free_mb, 1'000'000);
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

// A server of the throughput model, and a greedy chat asked of it: the status and the body.
class ServedModel {
  public:
    explicit ServedModel(std::vector<std::string> workers)
        : server_({.port = 0,
                   .model = testing::throughput_model(),
                   .n_ctx = 256,
                   .n_threads = 1,
                   .quiet = true,
                   .rpc_workers = std::move(workers)}) {
        server_.start();
    }
    std::pair<int, Json> ask() {
        httplib::Client client("127.0.0.1", server_.port());
        client.set_read_timeout(120, 0);
        const Json request = {
            {"messages", Json::array({{{"role", "user"}, {"content", "the cat"}}})},
            {"max_tokens", kGreedy.max_tokens},
            {"temperature", 0}};
        auto result = client.Post("/v1/chat/completions", request.dump(), "application/json");
        if (!result) {
            return {0, Json()};
        }
        return {result->status, Json::parse(result->body)};
    }

  private:
    server::Server server_;
};

std::string answer_of(const Json& body) {
    return body["choices"][0]["message"]["content"].get<std::string>();
}

TEST(RpcWorkers, TheServerLoadsAModelThatLostAWorkerAgainOnceTheWorkerIsBack) {
    const std::string alone = answer_of(ServedModel({}).ask().second);
    auto worker = start_worker();
    const std::string port = worker.address.substr(worker.address.rfind(':') + 1);
    ServedModel split({worker.address});

    auto [status, body] = split.ask();
    ASSERT_EQ(status, 200) << body;
    EXPECT_EQ(answer_of(body), alone);

    worker.program.stop_with(SIGKILL);
    std::tie(status, body) = split.ask();
    EXPECT_EQ(status, 500);
    EXPECT_THAT(body["error"]["message"].dump(),
                HasSubstr("RPC worker " + worker.address + " stopped answering"));
    std::tie(status, body) = split.ask();  // loaded again: the worker is asked first
    EXPECT_EQ(status, 500);
    EXPECT_THAT(body["error"]["message"].dump(),
                HasSubstr("RPC worker " + worker.address + " is unreachable"));

    auto back = start_worker({}, port);
    std::tie(status, body) = split.ask();
    ASSERT_EQ(status, 200) << body;
    EXPECT_EQ(answer_of(body), alone);
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
