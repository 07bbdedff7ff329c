// Failures in the program's own words. The library keeps its texts (some of them German, some
// worded as Python words a file error); when one of its failures has a plain cause the program
// can see (a path that does not exist, a directory, an unknown name or kind of reference), the
// program says that in one English line with a hint, and keeps the library's text for
// --verbose.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "kestrune/core/errors.hpp"

namespace kestrune::cli {

// A failure the program has worded: what() is the line it prints, library_text() the text of
// the library's failure behind it.
class WordedFailure : public std::runtime_error {
  public:
    WordedFailure(const std::string& line, std::string library_text)
        : std::runtime_error(line), library_text_(std::move(library_text)) {}
    const std::string& library_text() const { return library_text_; }

  private:
    std::string library_text_;
};

// What is wrong with `path` as a model file, as the file system tells it: missing, a
// directory, unreadable; absent when it is a readable file.
std::optional<std::string> file_problem(const std::string& path);

// The plain cause of a failure to open the model `ref` names, when the program can tell it;
// absent when the library's own text says it best (a network failure, a damaged file).
std::optional<std::string> reference_problem(const std::string& ref, const Error& error);

// Call from a catch block: throws a WordedFailure when `line` holds the plain cause of the
// failure being handled, `error`; rethrows it as it is otherwise.
[[noreturn]] void rethrow_worded(const std::optional<std::string>& line, const Error& error);

}  // namespace kestrune::cli
