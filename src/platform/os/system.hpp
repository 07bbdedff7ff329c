// What the operating system tells about this machine and its user: the system's name, the
// processors, main memory and the home directory; and memory given back.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::platform::system {

// The user's home directory (HOME, else the password database).
std::string home_dir();

// The platform's system name as Python's platform.system() gives it: "Linux", "Darwin",
// "Windows". Code that builds directory lists takes it as a parameter so every branch can be
// tested on any platform.
std::string system_name();

// The count of logical processors (at least 1).
int cpu_count();

// MemTotal of /proc/meminfo in MB; 0 where the file does not exist.
std::int64_t main_memory_mb();

// Gives memory the allocator holds free back to the system (where the C library can), so that
// a process that freed a large working set (a model's caches) shrinks.
void return_free_memory();

}  // namespace kestrune::platform::system
