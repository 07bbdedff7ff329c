// The library's side of kestrune/core/output.hpp: the one way a module prints or reports.
#pragma once

#include <string_view>

#include "kestrune/core/output.hpp"

namespace kestrune::output {

// Writes `text` to the sink set_output chose (standard output by default) and flushes it, so
// that it is seen before anything slow starts.
void print(std::string_view text);

// Passes a download's progress to this thread's sink while one is set, else to the sink
// set_download_progress chose, if any.
void report_download(const DownloadProgress& progress);

// While it lives, the downloads of this thread report to `sink` alone: a server request that
// streams the progress of the download it asked for.
class ThreadDownloadProgress {
  public:
    explicit ThreadDownloadProgress(DownloadProgressSink sink);
    ~ThreadDownloadProgress();
    ThreadDownloadProgress(const ThreadDownloadProgress&) = delete;
    ThreadDownloadProgress& operator=(const ThreadDownloadProgress&) = delete;

  private:
    DownloadProgressSink previous_;
};

}  // namespace kestrune::output
