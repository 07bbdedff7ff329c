// Where the program writes. Standard output carries results only (an answer, a path, JSON,
// a table) so that scripts can rely on it; everything else goes to standard error.
//
// The library prints its progress lines ("  Downloading …", "  Loading …", the model
// description) on std::cout by design. Rather than teach every module about two streams, the
// front end points std::cout's buffer at standard error's for its whole run and writes its
// results through results(), a stream bound to the real standard output's buffer. Swapping
// buffers (not file descriptors) keeps both streams in step with C stdio and with each other.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <streambuf>

namespace kestrune::cli {

// The real standard output.
std::ostream& results();

// For its lifetime std::cout writes to `buffer`.
class ScopedCoutBuffer {
  public:
    explicit ScopedCoutBuffer(std::streambuf* buffer);
    ~ScopedCoutBuffer();
    ScopedCoutBuffer(const ScopedCoutBuffer&) = delete;
    ScopedCoutBuffer& operator=(const ScopedCoutBuffer&) = delete;

  private:
    std::streambuf* saved_;
};

// For its lifetime the library's std::cout lines go to standard error.
class LibraryOutputToStderr {
  public:
    LibraryOutputToStderr();

  private:
    ScopedCoutBuffer redirect_;
};

// JSON indented for reading, UTF-8 as it is, on results().
void print_json(const nlohmann::ordered_json& value);

}  // namespace kestrune::cli
