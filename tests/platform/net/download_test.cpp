#include "platform/net/download.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>

#include "kestrune/core/errors.hpp"
#include "support/gate.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"

namespace kestrune::platform::download {
namespace {

namespace fs = std::filesystem;
using testing::Gate;
using ::testing::HasSubstr;
using testing::LoopbackServer;
using testing::OpenOnExit;
using testing::TempDir;
using ::testing::ThrowsMessage;

const std::string kContents(100'000, 'm');

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uintmax_t file_size(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::atomic<int> g_seen_signal{0};
extern "C" void remember_signal(int signal) {
    g_seen_signal = signal;
}

class Download : public ::testing::Test {
  protected:
    Gate release_;
    LoopbackServer server_{[this](httplib::Server& s) {
        s.Get("/model.gguf", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kContents, "application/octet-stream");
        });
        // Sends a little, waits until it is on disk, stops this process with SIGTERM, then
        // stalls.
        s.Get("/stopped.gguf", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [this](std::size_t, httplib::DataSink& sink) {
                    sink.write(kContents.data(), 4096);
                    for (int tries = 0; tries < 1000 && file_size(partial_) < 4096; ++tries) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                    ::kill(::getpid(), SIGTERM);
                    release_.wait();
                    return false;
                });
        });
    }};
    OpenOnExit open_on_exit_{release_};
    TempDir dir_;
    const fs::path target_ = dir_.path() / "model.gguf";
    const std::string partial_ = partial_path(target_.string());
};

TEST_F(Download, RefusesAPartialFileThatIsNotAPlainFileOfItsOwn) {
    const fs::path victim = dir_.write("victim.txt", "precious");
    const std::vector<std::pair<const char*, std::function<void()>>> plants = {
        {"symbolic link", [&] { fs::create_symlink(victim, partial_); }},
        {"hard link", [&] { fs::create_hard_link(victim, partial_); }},
        {"directory", [&] { fs::create_directory(partial_); }},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(partial_.c_str(), 0600), 0); }},
    };
    for (const auto& [what, plant] : plants) {
        SCOPED_TRACE(what);
        plant();
        EXPECT_THAT(
            [&] { fetch_to_file(server_.url("/model.gguf"), target_, {.label = "model.gguf"}); },
            ThrowsMessage<kestrune::Error>(HasSubstr(partial_)));
        EXPECT_EQ(read_file(victim), "precious");
        EXPECT_FALSE(fs::exists(target_));
        fs::remove(partial_);
    }
}

TEST_F(Download, ReplacesAStalePartialFileUnlessResuming) {
    std::ofstream(partial_) << "left by a killed run";
    fetch_to_file(server_.url("/model.gguf"), target_, {.label = "model.gguf"});
    EXPECT_EQ(read_file(target_), kContents);
    EXPECT_FALSE(fs::exists(partial_));
}

TEST_F(Download, ASignalStopsItCleansUpAndReachesThePreviousHandler) {
    struct sigaction recording {};
    recording.sa_handler = remember_signal;
    struct sigaction before {};
    ::sigaction(SIGTERM, &recording, &before);
    for (const bool resume : {false, true}) {
        SCOPED_TRACE(resume ? "resuming" : "not resuming");
        g_seen_signal = 0;
        EXPECT_THROW(fetch_to_file(server_.url("/stopped.gguf"), target_,
                                   {.resume = resume, .label = "stopped.gguf"}),
                     Interrupted);
        EXPECT_EQ(g_seen_signal, SIGTERM);
        EXPECT_FALSE(fs::exists(target_));
        // A resumable download keeps what it has; any other leaves nothing behind.
        EXPECT_EQ(fs::exists(partial_), resume);
    }
    release_.open();
    EXPECT_EQ(read_file(partial_), kContents.substr(0, 4096));
    // The handler from before is back.
    struct sigaction now {};
    ::sigaction(SIGTERM, &before, &now);
    EXPECT_EQ(now.sa_handler, remember_signal);
}

}  // namespace
}  // namespace kestrune::platform::download
