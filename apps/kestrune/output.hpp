// Where the program writes. Standard output carries results only (an answer, a path, JSON,
// a table) so that scripts can rely on it; everything else goes to standard error.
//
// The library prints its progress lines ("  Downloading …", "  Loading …", the model
// description) through its output sink (kestrune::set_output): the program sends them to
// standard error, and draws the downloads the library reports as progress bars there.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

namespace kestrune::cli {

// Standard output.
std::ostream& results();

// For its lifetime the library's printed lines go to standard error and its downloads are
// drawn there as progress bars.
class LibraryOutputToStderr {
  public:
    LibraryOutputToStderr();
    ~LibraryOutputToStderr();
    LibraryOutputToStderr(const LibraryOutputToStderr&) = delete;
    LibraryOutputToStderr& operator=(const LibraryOutputToStderr&) = delete;
};

// For its lifetime the library's printed lines are this command's result: they go to standard
// output. Afterwards they go to standard error again.
class LibraryOutputAsResults {
  public:
    LibraryOutputAsResults();
    ~LibraryOutputAsResults();
    LibraryOutputAsResults(const LibraryOutputAsResults&) = delete;
    LibraryOutputAsResults& operator=(const LibraryOutputAsResults&) = delete;
};

// JSON indented for reading, UTF-8 as it is, on results().
void print_json(const nlohmann::ordered_json& value);

}  // namespace kestrune::cli
