#include "engine/lookup.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <system_error>

#include "platform/files.hpp"

namespace kestrune::resolver {

namespace files = platform::files;
namespace fs = std::filesystem;

void say(const std::string& line) {
    std::cout << line << std::endl;
}

bool exists(const std::string& path) {
    struct stat info {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

[[noreturn]] void fail_file(const std::string& what, const std::string& path, int error) {
    throw fs::filesystem_error(what, fs::path(path),
                               std::error_code(error, std::generic_category()));
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

}  // namespace kestrune::resolver
