#include "platform/os/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <system_error>
#include <utility>

#include "kestrune/core/errors.hpp"
#include "platform/os/system.hpp"

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

void fail_file(std::string_view what, const std::string& path, int error) {
    const std::string message =
        std::string(what) + " " + path + ": " + std::generic_category().message(error);
    switch (error) {
        case ENOENT:
            throw NotFoundError(message);
        case EISDIR:
        case ENOTDIR:
        case ELOOP:
            throw InvalidValueError(message);
        default:
            throw RuntimeFailure(message);
    }
}

namespace {

// Owns a descriptor, so it is closed on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string read_regular_file(const std::string& path, std::size_t max_bytes) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0) {
        fail_file("Cannot read", path, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        fail_file("Cannot read", path, EISDIR);
    }
    if (!S_ISREG(info.st_mode)) {
        throw InvalidValueError("Not a regular file: " + path);
    }
    if (static_cast<std::uint64_t>(info.st_size) > max_bytes) {
        throw InvalidValueError("File larger than " + std::to_string(max_bytes) +
                                " bytes: " + path);
    }
    std::string content(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail_file("Cannot read", path, errno);
        }
        if (got == 0) {
            break;  // the file shrank while it was read
        }
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return content;
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
// inode) for loop detection. Directories are stat'ed too: readdir's inode of a mount point is
// the one underneath, not the mounted root's.
Kind kind_of(int dir_fd, const dirent& entry, dev_t& device, ino_t& inode) {
    switch (entry.d_type) {
        case DT_REG:
            return Kind::file;
        case DT_DIR:
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

// The (device, inode) of each path that names a directory.
std::set<std::pair<dev_t, ino_t>> directory_identities(std::initializer_list<const char*> paths) {
    std::set<std::pair<dev_t, ino_t>> identities;
    for (const char* path : paths) {
        struct stat info {};
        if (::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
            identities.emplace(info.st_dev, info.st_ino);
        }
    }
    return identities;
}

// Depth-first walk that reports matching files through `found`; `found` returns false to
// stop the walk. Every directory is entered at most once per walk, whichever link leads to
// it: tracking only the current path made link diamonds exponential. The kernel's pseudo
// file systems count as already seen, since /proc alone leads back to / from every process.
// A pattern with "/" in it matches its leading parts against the directories above the file.
class GgufSearch {
  public:
    GgufSearch(std::string_view pattern, std::function<bool(std::string)> found)
        : found_(std::move(found)), seen_(directory_identities({"/proc", "/sys", "/dev"})) {
        for (std::size_t start = 0;;) {
            const std::size_t slash = pattern.find('/', start);
            parts_.emplace_back(pattern.substr(start, slash - start));
            if (slash == std::string_view::npos) {
                break;
            }
            start = slash + 1;
        }
    }

    void walk(const std::string& directory) {
        struct stat info {};
        if (::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            walk(directory, info.st_dev, info.st_ino);
        }
    }

  private:
    bool walk(const std::string& directory, dev_t device, ino_t inode) {
        return !seen_.emplace(device, inode).second || walk_entries(directory);
    }

    // Whether the file `name`, below the directories of `trail_`, matches every part.
    bool matches(const char* name) const {
        if (::fnmatch(parts_.back().c_str(), name, FNM_NOESCAPE) != 0 ||
            trail_.size() < parts_.size() - 1) {
            return false;
        }
        const auto dirs = trail_.end() - static_cast<std::ptrdiff_t>(parts_.size() - 1);
        return std::equal(parts_.begin(), parts_.end() - 1, dirs,
                          [](const auto& part, const auto& dir) {
                              return ::fnmatch(part.c_str(), dir.c_str(), FNM_NOESCAPE) == 0;
                          });
    }

    bool walk_entries(const std::string& directory) {
        std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
        if (!dir) {
            return true;
        }
        struct Subdirectory {
            std::string name;
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
            const Kind kind = kind_of(fd, *entry, device, inode);
            if (kind == Kind::file && matches(entry->d_name)) {
                if (!found_(join(directory, entry->d_name))) {
                    return false;
                }
            } else if (kind == Kind::directory) {
                subdirectories.push_back({entry->d_name, device, inode});
            }
        }
        dir.reset();
        for (const auto& sub : subdirectories) {
            trail_.push_back(sub.name);
            const bool go_on = walk(join(directory, sub.name), sub.device, sub.inode);
            trail_.pop_back();
            if (!go_on) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::string> parts_;
    std::function<bool(std::string)> found_;
    std::set<std::pair<dev_t, ino_t>> seen_;
    std::vector<std::string> trail_;  // the directory names from the start of the walk down
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
