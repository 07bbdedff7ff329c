// Where the library's own printed lines go. Download and load notices, the model description
// and warnings are printed on standard output by default; a front end that keeps standard
// output for results routes them elsewhere with set_output, and draws download progress, which
// the library only reports, with set_download_progress.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/core/export.hpp"

namespace kestrune {

// Receives the library's printed text, whole lines with their line ends.
using OutputSink = std::function<void(std::string_view text)>;

// Routes the library's printed text to `sink`; an empty sink restores standard output. Set it
// before starting work on other threads.
KESTRUNE_API void set_output(OutputSink sink);

// A download's state as its bytes arrive.
struct KESTRUNE_API DownloadProgress {
    std::string label;               // the file being downloaded
    std::optional<long long> total;  // its full size, when the server tells it
    long long start = 0;             // bytes already there when it began (a resumed download)
    long long done = 0;              // bytes there now
    bool finished = false;           // the last report of this download
};

// Receives every download's progress (about as often as bytes arrive).
using DownloadProgressSink = std::function<void(const DownloadProgress& progress)>;

// Reports downloads to `sink`; an empty sink (the default) reports nothing.
KESTRUNE_API void set_download_progress(DownloadProgressSink sink);

}  // namespace kestrune
