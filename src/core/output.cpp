#include "core/output.hpp"

#include <iostream>
#include <mutex>
#include <utility>

namespace kestrune {

namespace {

struct Sinks {
    std::mutex mutex;
    OutputSink output;
    DownloadProgressSink progress;
};

Sinks& sinks() {
    static Sinks instance;
    return instance;
}

thread_local DownloadProgressSink thread_progress;

}  // namespace

void set_output(OutputSink sink) {
    std::lock_guard lock(sinks().mutex);
    sinks().output = std::move(sink);
}

void set_download_progress(DownloadProgressSink sink) {
    std::lock_guard lock(sinks().mutex);
    sinks().progress = std::move(sink);
}

namespace output {

void print(std::string_view text) {
    std::lock_guard lock(sinks().mutex);
    if (sinks().output) {
        sinks().output(text);
        return;
    }
    std::cout << text << std::flush;
}

void report_download(const DownloadProgress& progress) {
    if (thread_progress) {
        thread_progress(progress);
        return;
    }
    std::lock_guard lock(sinks().mutex);
    if (sinks().progress) {
        sinks().progress(progress);
    }
}

ThreadDownloadProgress::ThreadDownloadProgress(DownloadProgressSink sink)
    : previous_(std::exchange(thread_progress, std::move(sink))) {}

ThreadDownloadProgress::~ThreadDownloadProgress() {
    thread_progress = std::move(previous_);
}

}  // namespace output

}  // namespace kestrune
