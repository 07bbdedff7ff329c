// File-system helpers shared by the resolver and the adapters: home expansion, sizes in MB,
// reading a small file safely, the failure that names a file, and the recursive "*name*.gguf"
// pattern search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform::files {

// "~" and a leading "~/" become the home directory; other paths are returned unchanged.
std::string expand_home(std::string_view path);

// The file's size integer-divided by 1048576, or 0 when it cannot be read.
std::int64_t file_size_mb(const std::string& path);

// Throws the failure kind that fits the system error `error` on `path`: NotFoundError when it
// is missing, InvalidValueError when it is not the kind of thing asked for (a folder, a file
// where a folder belongs, a link loop), RuntimeFailure otherwise. The message is
// "<what> <path>: <the system's text>".
[[noreturn]] void fail_file(std::string_view what, const std::string& path, int error);

// The whole content of the regular file at `path` (links followed). Opened without blocking,
// so a FIFO or a device is refused instead of waiting for a writer; a file above `max_bytes`
// is refused before it is read. Failures as fail_file's, each naming `path`.
std::string read_regular_file(const std::string& path, std::size_t max_bytes);

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
