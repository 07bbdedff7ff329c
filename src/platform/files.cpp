#include "platform/files.hpp"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <utility>

namespace kestrune::platform::files {

std::string expand_home(std::string_view path) {
    if (path == "~") {
        return system::home_dir();
    }
    if (path.starts_with("~/")) {
        return join(system::home_dir(), path.substr(2));
    }
    return std::string(path);
}

std::int64_t file_size_mb(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(info.st_size) / 1048576;
}

std::string join(std::string_view directory, std::string_view name) {
    std::string joined(directory);
    if (!joined.empty() && joined.back() != '/') {
        joined += '/';
    }
    joined += name;
    return joined;
}

bool wildcard_match(std::string_view pattern, std::string_view name) {
    // Backslash is an ordinary character in these patterns, as in Python's fnmatch.
    return ::fnmatch(std::string(pattern).c_str(), std::string(name).c_str(), FNM_NOESCAPE) == 0;
}

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

enum class Kind { file, directory, other };

// The entry's kind with symbolic links followed, and the identity of a directory (device and
// inode) for loop detection. stat is only needed for links and when readdir cannot tell.
Kind kind_of(int dir_fd, dev_t dir_device, const dirent& entry, dev_t& device, ino_t& inode) {
    switch (entry.d_type) {
        case DT_REG:
            return Kind::file;
        case DT_DIR:
            device = dir_device;
            inode = entry.d_ino;
            return Kind::directory;
        case DT_LNK:
        case DT_UNKNOWN:
            break;
        default:
            return Kind::other;
    }
    struct stat info {};
    if (::fstatat(dir_fd, entry.d_name, &info, 0) != 0) {
        return Kind::other;
    }
    device = info.st_dev;
    inode = info.st_ino;
    if (S_ISREG(info.st_mode)) {
        return Kind::file;
    }
    return S_ISDIR(info.st_mode) ? Kind::directory : Kind::other;
}

// Depth-first walk that reports matching files through `found`; `found` returns false to
// stop the walk. `on_walk` holds the directories being walked, so a link loop ends.
class GgufSearch {
  public:
    GgufSearch(std::string pattern, std::function<bool(std::string)> found)
        : pattern_(std::move(pattern)), found_(std::move(found)) {}

    void walk(const std::string& directory) {
        struct stat info {};
        if (::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            walk(directory, info.st_dev, info.st_ino);
        }
    }

  private:
    bool walk(const std::string& directory, dev_t device, ino_t inode) {
        const auto key = std::make_pair(device, inode);
        if (!on_walk_.insert(key).second) {
            return true;
        }
        const bool go_on = walk_entries(directory, device);
        on_walk_.erase(key);
        return go_on;
    }

    bool walk_entries(const std::string& directory, dev_t directory_device) {
        std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
        if (!dir) {
            return true;
        }
        struct Subdirectory {
            std::string path;
            dev_t device;
            ino_t inode;
        };
        std::vector<Subdirectory> subdirectories;
        const int fd = ::dirfd(dir.get());
        while (const dirent* entry = ::readdir(dir.get())) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            dev_t device = 0;
            ino_t inode = 0;
            const Kind kind = kind_of(fd, directory_device, *entry, device, inode);
            if (kind == Kind::file &&
                ::fnmatch(pattern_.c_str(), entry->d_name, FNM_NOESCAPE) == 0) {
                if (!found_(join(directory, entry->d_name))) {
                    return false;
                }
            } else if (kind == Kind::directory) {
                subdirectories.push_back({join(directory, entry->d_name), device, inode});
            }
        }
        dir.reset();
        for (const auto& sub : subdirectories) {
            if (!walk(sub.path, sub.device, sub.inode)) {
                return false;
            }
        }
        return true;
    }

    std::string pattern_;
    std::function<bool(std::string)> found_;
    std::set<std::pair<dev_t, ino_t>> on_walk_;
};

std::string gguf_pattern(std::string_view name) {
    std::string pattern = "*";
    pattern += name;
    pattern += "*.gguf";
    return pattern;
}

}  // namespace

std::vector<std::string> find_gguf(const std::string& directory, std::string_view name) {
    std::vector<std::string> matches;
    GgufSearch search(gguf_pattern(name), [&](std::string path) {
        matches.push_back(std::move(path));
        return true;
    });
    search.walk(directory);
    return matches;
}

std::string find_first_gguf(const std::string& directory, std::string_view name) {
    std::string first;
    GgufSearch search(gguf_pattern(name), [&](std::string path) {
        first = std::move(path);
        return false;
    });
    search.walk(directory);
    return first;
}

}  // namespace kestrune::platform::files
