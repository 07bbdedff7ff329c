// File-system helpers shared by the resolver and the adapters: home expansion, sizes in MB,
// and the recursive "*name*.gguf" pattern search.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform::files {

// "~" and a leading "~/" become the home directory; other paths are returned unchanged.
std::string expand_home(std::string_view path);

// The file's size integer-divided by 1048576, or 0 when it cannot be read.
std::int64_t file_size_mb(const std::string& path);

// `directory` joined with `name` by one "/".
std::string join(std::string_view directory, std::string_view name);

// Shell-style match of `name` against `pattern`: "*", "?" and "[...]" ("[!...]" negates).
bool wildcard_match(std::string_view pattern, std::string_view name);

// Every file below `directory` (at any depth) whose name matches "*" + name + "*.gguf", with
// the wildcards of `name` active; a "/" in `name` splits the pattern, as in a recursive glob,
// so "org/model" matches "<...>/*org/model*.gguf". Entries starting with "." are skipped. The
// directory's own files come first, then its subdirectories depth-first in the order the file
// system lists them, unsorted. Paths are `directory` + "/" + the relative part ("./x.gguf"
// below "."). Symbolic links are followed, but each directory is entered once per search, and
// /proc, /sys and /dev never.
std::vector<std::string> find_gguf(const std::string& directory, std::string_view name);

// The first match of find_gguf, or "" when there is none; stops walking at the first match.
std::string find_first_gguf(const std::string& directory, std::string_view name);

}  // namespace kestrune::platform::files
