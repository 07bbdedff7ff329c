#include "kestrune/engine/hardware.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include "platform/os/process.hpp"

namespace kestrune::engine {
namespace {

using platform::process::run;

std::int64_t number_printed_by(const std::vector<std::string>& argv) {
    const auto result = run(argv, std::chrono::seconds(10));
    EXPECT_EQ(result.exit_code, 0) << argv.front() << ": " << result.err;
    return std::stoll(result.out);
}

// The summed `field` (memory.total, memory.free) of every GPU nvidia-smi lists, or nullopt
// without nvidia-smi.
std::optional<std::int64_t> nvidia_smi_mb(const std::string& field) {
    try {
        const auto result =
            run({"nvidia-smi", "--query-gpu=" + field, "--format=csv,noheader,nounits"},
                std::chrono::seconds(20));
        if (result.exit_code != 0) {
            return std::nullopt;
        }
        std::istringstream lines(result.out);
        std::int64_t total = 0;
        for (std::int64_t mb = 0; lines >> mb;) {
            total += mb;
        }
        return total;
    } catch (const platform::process::ProgramNotFound&) {
        return std::nullopt;
    }
}

TEST(DetectHardware, ReportsThisMachinesProcessorsAndMemory) {
    const HardwareProfile hardware = detect_hardware();

    // Every online processor; the affinity-limited count nproc gives cannot exceed it.
    EXPECT_EQ(hardware.cpu_cores, number_printed_by({"getconf", "_NPROCESSORS_ONLN"}));
    EXPECT_GE(hardware.cpu_cores, number_printed_by({"nproc"}));

    EXPECT_EQ(hardware.ram_mb,
              number_printed_by({"awk", "/^MemTotal:/ { print int($2 / 1024) }", "/proc/meminfo"}));
}

TEST(DetectHardware, GpuMemoryIsWhatTheDriverReportsOrZero) {
    const HardwareProfile hardware = detect_hardware();
    const std::optional<std::int64_t> driver_mb = nvidia_smi_mb("memory.total");
    if (!driver_mb) {
        EXPECT_EQ(hardware.total_vram_mb, 0);
        return;
    }
    // A library built without a GPU backend sees no GPU even where the driver does; one with
    // it reports the driver's figure, rounded slightly differently by the CUDA runtime.
    if (hardware.total_vram_mb != 0) {
        EXPECT_NEAR(static_cast<double>(hardware.total_vram_mb), static_cast<double>(*driver_mb),
                    0.02 * static_cast<double>(*driver_mb));
    }
}

TEST(DetectHardware, FreeGpuMemoryIsWhatTheDriverReportsAndWithinTheTotal) {
    const HardwareProfile hardware = detect_hardware();
    if (hardware.total_vram_mb == 0) {
        GTEST_SKIP() << "no GPU the library can use";
    }
    ASSERT_TRUE(hardware.free_vram_mb.has_value());
    EXPECT_GT(*hardware.free_vram_mb, 0);
    EXPECT_LE(*hardware.free_vram_mb, hardware.total_vram_mb);
    // Other programs may allocate between the two readings: a small margin of the total.
    if (const auto driver_free_mb = nvidia_smi_mb("memory.free")) {
        EXPECT_NEAR(static_cast<double>(*hardware.free_vram_mb),
                    static_cast<double>(*driver_free_mb),
                    0.05 * static_cast<double>(hardware.total_vram_mb));
    }
}

// The processor is always a device, backed by a CPU library of llama.cpp: the variant picked
// for this processor from the prebuilt set (libggml-cpu-haswell.so, ...) or the one built from
// source (libggml-cpu.so.0). A build that failed to load its backends lists nothing.
TEST(DescribeComputeDevices, NamesTheCpuBackendAndTheLibraryItCameFrom) {
    const std::vector<std::string> lines = describe_compute_devices();
    const std::regex cpu_line(R"(CPU: .+ \(libggml-cpu(-[a-z0-9]+)?\.so[.0-9]*\))");
    EXPECT_TRUE(std::ranges::any_of(
        lines, [&](const std::string& line) { return std::regex_match(line, cpu_line); }))
        << "devices: " << testing::PrintToString(lines);
    // A GPU line carries its free memory; there is one exactly when the profile counts a GPU.
    const bool gpu_listed = std::ranges::any_of(
        lines, [](const std::string& line) { return line.ends_with(" MB free)"); });
    EXPECT_EQ(gpu_listed, detect_hardware().total_vram_mb > 0);
}

}  // namespace
}  // namespace kestrune::engine
