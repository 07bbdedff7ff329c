// What the resolver and the runtime stores share: path tests and joins, the search of a list of
// directories for a GGUF file, and the progress line on standard output.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::engine::resolver {

// One progress line on standard output, control characters escaped, flushed.
void say(const std::string& line);

// Follows links; a name the system cannot even look up counts as absent.
bool exists(const std::string& path);
bool is_directory(const std::string& path);

// `path` followed by each of `names`, one "/" between them.
std::string join_all(std::string path, std::initializer_list<std::string_view> names);
// Every piece between separators, empty ones included ("a::b" has three pieces, "" one).
std::vector<std::string> split(const std::string& text, char separator);

std::optional<std::string> first_existing(std::initializer_list<std::string> candidates);
// The first "*name*.gguf" file of the first directory that holds one.
std::optional<std::string> first_gguf_in(const std::vector<std::string>& directories,
                                         const std::string& name);

}  // namespace kestrune::engine::resolver
