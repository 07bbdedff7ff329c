#include "platform/os/system.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

#include "support/temp_home.hpp"

namespace kestrune::platform::system {
namespace {

TEST(System, NameAndProcessorsAreThisMachines) {
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(system_name(), names.sysname);
    EXPECT_EQ(cpu_count(), static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
}

TEST(System, MainMemoryIsMemTotalInMegabytes) {
    std::ifstream meminfo("/proc/meminfo");
    std::string label;
    std::int64_t kilobytes = 0;
    meminfo >> label >> kilobytes;
    ASSERT_EQ(label, "MemTotal:");
    EXPECT_EQ(main_memory_mb(), kilobytes / 1024);
    EXPECT_GT(main_memory_mb(), 0);
}

TEST(System, HomeComesFromTheEnvironmentThenThePasswordDatabase) {
    {
        const testing::TempHome home;
        EXPECT_EQ(home_dir(), home.path());
    }
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    for (const std::optional<std::string>& unusable : {std::optional<std::string>(), {""}}) {
        const testing::ScopedEnv no_home("HOME", unusable);
        EXPECT_EQ(home_dir(), entry->pw_dir);
    }
}

}  // namespace
}  // namespace kestrune::platform::system
