#include "platform/os/system.hpp"

#include <malloc.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrune::platform::system {

std::string home_dir() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::string system_name() {
    utsname names{};
    if (uname(&names) != 0) {
        return "";
    }
    return names.sysname;
}

int cpu_count() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : static_cast<int>(count);
}

std::int64_t main_memory_mb() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (!line.starts_with("MemTotal:")) {
            continue;
        }
        std::istringstream fields(line.substr(9));
        std::int64_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes / 1024;
    }
    return 0;
}

void return_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace kestrune::platform::system
