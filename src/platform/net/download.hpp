// Downloads one file over HTTP onto disk, for the hub client and plain addresses alike.
//
// The bytes go to "<target>.incomplete", which is renamed onto the target only when complete,
// so the target never holds a fragment. That partial file is opened without following links
// and must be a plain file with no other name (a link planted there would otherwise redirect
// the write); one process at a time writes it (an advisory lock). With resume it is continued
// by a Range request and kept when the download fails; without, a stale one is replaced and
// a failed download removes it. A SIGINT or SIGTERM arriving during the download stops it,
// cleans up as for any failure, and is then passed on to whatever handled it before. Its
// progress goes to the library's download progress sink (kestrune/core/output.hpp).
#pragma once

#include <string>

#include "kestrune/core/errors.hpp"
#include "platform/net/http.hpp"

namespace kestrune::platform::download {

struct Options {
    http::Headers headers;  // sent with every request of the download
    bool resume = false;
    std::string label;  // names the file in progress reports
};

// The download was stopped by a signal whose previous handler returned.
class Interrupted : public RuntimeFailure {
  public:
    using RuntimeFailure::RuntimeFailure;
};

// The partial file's name for a target.
std::string partial_path(const std::string& target);

// Downloads `url` into `target` (its directory must exist). A status outside 2xx is an
// http::StatusError, a transport failure an http::HttpError, an answer shorter than announced
// a RuntimeFailure, a file problem the failure kind of files::fail_file, naming the file.
void fetch_to_file(const std::string& url, const std::string& target, const Options& options);

}  // namespace kestrune::platform::download
