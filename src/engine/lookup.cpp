#include "engine/lookup.hpp"

#include <sys/stat.h>

#include <string>

#include "core/output.hpp"
#include "core/text.hpp"
#include "platform/os/files.hpp"

namespace kestrune::engine::resolver {

namespace files = platform::files;

void say(const std::string& line) {
    // Paths and names come from other programs' stores and from the network.
    output::print(text::escape_controls(line) + "\n");
}

bool exists(const std::string& path) {
    struct stat info {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string join_all(std::string path, std::initializer_list<std::string_view> names) {
    for (const std::string_view name : names) {
        path = files::join(path, name);
    }
    return path;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (auto end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::optional<std::string> first_existing(std::initializer_list<std::string> candidates) {
    for (const std::string& candidate : candidates) {
        if (exists(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> first_gguf_in(const std::vector<std::string>& directories,
                                         const std::string& name) {
    for (const std::string& directory : directories) {
        if (std::string match = files::find_first_gguf(directory, name); !match.empty()) {
            return match;
        }
    }
    return std::nullopt;
}

}  // namespace kestrune::engine::resolver
