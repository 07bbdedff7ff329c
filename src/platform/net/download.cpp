#include "platform/net/download.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "core/output.hpp"
#include "platform/os/files.hpp"

namespace kestrune::platform::download {

using files::fail_file;

namespace {

constexpr long kPartialContent = 206;
constexpr long kRangeNotSatisfiable = 416;

// --- Stopping on SIGINT and SIGTERM ---------------------------------------------------------

// The one signal that stopped a download; a signal handler can only reach a global.
std::atomic<int> g_stop_signal{0};

extern "C" void note_stop_signal(int signal) {
    g_stop_signal.store(signal);
}

// While one exists, SIGINT and SIGTERM only mark the download as stopped; the handlers found
// before come back with the last one destroyed. A signal ignored before stays ignored.
class StopSignals {
  public:
    StopSignals() {
        const std::lock_guard lock(mutex());
        if (depth()++ > 0) {
            return;
        }
        g_stop_signal.store(0);
        struct sigaction noting {};
        noting.sa_handler = note_stop_signal;
        sigemptyset(&noting.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], nullptr, &previous()[i]);
            if (previous()[i].sa_handler != SIG_IGN) {
                ::sigaction(kSignals[i], &noting, nullptr);
            }
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals() {
        const std::lock_guard lock(mutex());
        if (--depth() == 0) {
            for (std::size_t i = 0; i < kSignals.size(); ++i) {
                ::sigaction(kSignals[i], &previous()[i], nullptr);
            }
        }
    }

    static int pending() { return g_stop_signal.load(); }

  private:
    static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
    static std::mutex& mutex() {
        static std::mutex guard;
        return guard;
    }
    static int& depth() {
        static int count = 0;
        return count;
    }
    static std::array<struct sigaction, 2>& previous() {
        static std::array<struct sigaction, 2> handlers{};
        return handlers;
    }
};

// --- The partial file -----------------------------------------------------------------------

// "<target>.incomplete", opened for writing without following a link, locked, and refused
// unless it is a plain file with this one name. Removed on destruction unless kept.
class PartialFile {
  public:
    explicit PartialFile(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno == ELOOP) {
            fail_file("Refusing a download file that is a link", path_, ELOOP);
        }
        if (fd_ < 0) {
            fail_file("Cannot open download file", path_, errno);
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
            close_quietly();
            fail_file("Refusing a download file that is not a plain file of its own", path_,
                      EEXIST);
        }
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            close_quietly();
            fail_file("Another process is downloading to", path_, EBUSY);
        }
        size_ = info.st_size;
        owned_ = true;
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (owned_ && !(keep_ && size_ > 0)) {
            ::unlink(path_.c_str());
        }
        close_quietly();
    }

    long long size() const { return size_; }
    // Whether a file with bytes in it stays when the download does not complete.
    void keep_on_failure(bool keep) { keep_ = keep; }

    // Drops every byte from `offset` on; later writes continue there.
    void truncate_to(long long offset) {
        if (::ftruncate(fd_, offset) != 0 || ::lseek(fd_, offset, SEEK_SET) < 0) {
            fail_file("Cannot write download file", path_, errno);
        }
        size_ = offset;
    }

    void write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0) {
                fail_file("Cannot write download file", path_, errno);
            }
            bytes.remove_prefix(static_cast<std::size_t>(written));
            size_ += written;
        }
    }

    // Moves the complete file onto the target; the lock goes with the closed descriptor.
    void commit(const std::string& target) {
        if (::fsync(fd_) != 0 || ::rename(path_.c_str(), target.c_str()) != 0) {
            fail_file("Cannot move download into place", target, errno);
        }
        owned_ = false;
    }

  private:
    void close_quietly() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

    std::string path_;
    int fd_ = -1;
    long long size_ = 0;
    bool owned_ = false;
    bool keep_ = false;
};

// --- The answer -----------------------------------------------------------------------------

std::optional<long long> header_number(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long long number = std::strtoll(text->c_str(), &end, 10);
    return end == text->c_str() ? std::nullopt : std::optional<long long>(number);
}

// "bytes START-END/TOTAL": START and TOTAL ("*" gives no total).
struct ContentRange {
    long long start = -1;
    std::optional<long long> total;
};

ContentRange parse_content_range(const std::optional<std::string>& header) {
    ContentRange range;
    if (!header || !header->starts_with("bytes ")) {
        return range;
    }
    range.start = header_number(header->substr(6)).value_or(-1);
    if (const std::size_t slash = header->find('/'); slash != std::string::npos) {
        range.total = header_number(header->substr(slash + 1));
    }
    return range;
}

// Size the finished file must have, when the answer says.
std::optional<long long> expected_size(const http::ResponseStream& answer, long long offset) {
    if (answer.status() == kPartialContent) {
        if (auto total = parse_content_range(answer.header("Content-Range")).total) {
            return total;
        }
        if (auto length = header_number(answer.header("Content-Length"))) {
            return offset + *length;
        }
        return std::nullopt;
    }
    return header_number(answer.header("Content-Length"));
}

http::Request download_request(const std::string& url, const Options& options, long long offset) {
    http::Request request;
    request.url = url;
    request.headers = options.headers;
    request.cancelled = [] { return StopSignals::pending() != 0; };
    if (offset > 0) {
        request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
    }
    return request;
}

// Opens the file's answer, continuing from `offset` when it is above 0. An answer that
// starts elsewhere than asked (a server without ranges, or a stale partial file) comes back
// with offset 0 so the caller starts over.
http::ResponseStream open_answer(const std::string& url, const Options& options,
                                 long long& offset) {
    try {
        http::ResponseStream answer =
            http::ResponseStream::open(download_request(url, options, offset));
        const bool continues = answer.status() == kPartialContent &&
                               parse_content_range(answer.header("Content-Range")).start == offset;
        if (offset > 0 && !continues) {
            offset = 0;
            if (answer.status() == kPartialContent) {
                return open_answer(url, options, offset);
            }
        }
        return answer;
    } catch (const http::StatusError& error) {
        if (error.status() == kRangeNotSatisfiable && offset > 0) {
            offset = 0;
            return open_answer(url, options, offset);
        }
        throw;
    }
}

// Streams the answer into the partial file; false when a stop signal cut it short.
bool receive(const std::string& url, const Options& options, PartialFile& file) {
    long long offset = options.resume ? file.size() : 0;
    http::ResponseStream answer = open_answer(url, options, offset);
    file.truncate_to(offset);
    const std::optional<long long> expected = expected_size(answer, offset);
    DownloadProgress progress{.label = options.label, .total = expected, .start = offset};
    auto report = [&](bool finished) {
        progress.done = file.size();
        progress.finished = finished;
        output::report_download(progress);
    };
    report(false);
    while (StopSignals::pending() == 0) {
        const std::optional<std::string> chunk = answer.next_chunk();
        if (!chunk) {
            report(true);
            if (expected && file.size() != *expected) {
                throw RuntimeFailure("Download of " + options.label + " ended after " +
                                     std::to_string(file.size()) + " of " +
                                     std::to_string(*expected) + " bytes");
            }
            return true;
        }
        file.write(*chunk);
        report(false);
    }
    return false;
}

}  // namespace

std::string partial_path(const std::string& target) {
    return target + ".incomplete";
}

void fetch_to_file(const std::string& url, const std::string& target, const Options& options) {
    int stop_signal = 0;
    {
        const StopSignals stop_signals;
        PartialFile file(partial_path(target));
        file.keep_on_failure(options.resume);
        try {
            if (receive(url, options, file)) {
                file.commit(target);
                return;
            }
        } catch (const http::Cancelled&) {
            // A stop signal came while waiting for data.
        }
        stop_signal = StopSignals::pending();
    }
    // The handlers from before are back: let them act as if the download never caught it.
    ::raise(stop_signal);
    throw Interrupted("Download of " + options.label + " stopped by signal " +
                      std::to_string(stop_signal));
}

}  // namespace kestrune::platform::download
