#include "platform/python/python.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/python_packages.hpp"

namespace python = kestrune::platform::python;
using kestrune::MissingComponentError;
using kestrune::testing::PythonPackages;

namespace {

const PythonPackages& broken_package() {
    using Files = std::vector<std::pair<std::string, std::string>>;
    static const PythonPackages packages(
        Files{{"half_installed/__init__.py", "raise ValueError('half-installed')\n"}});
    return packages;
}

// What require made of `package`: "found", "missing", or how it failed otherwise.
std::string outcome_of(const std::string& package) {
    try {
        python::require(package);
        return "found";
    } catch (const MissingComponentError&) {
        return "missing";
    } catch (const std::exception& error) {
        return std::string("failed: ") + error.what();
    }
}

}  // namespace

TEST(PythonLayer, WithoutPythonEveryPackageIsMissing) {
    if (python::compiled_in()) {
        GTEST_SKIP() << "this build embeds Python";
    }
    EXPECT_THROW(python::require("json"), MissingComponentError);
    EXPECT_THROW(python::transformers_version(), MissingComponentError);
    EXPECT_THROW(python::cuda_available(), MissingComponentError);
    EXPECT_THROW(python::ddgs_text("query", 5), MissingComponentError);
    EXPECT_THROW(python::TextGenerationPipeline::create("m", python::Dtype::float32),
                 MissingComponentError);
}

TEST(PythonLayer, TellsMissingPackagesFromBrokenOnes) {
    if (!python::compiled_in()) {
        GTEST_SKIP() << "built without embedded Python";
    }
    broken_package();
    EXPECT_NO_THROW(python::require("json"));
    EXPECT_THROW(python::require("kestrune_no_such_package"), MissingComponentError);
    try {
        python::require("half_installed");
        FAIL() << "a package that raises on import must not pass";
    } catch (const MissingComponentError&) {
        FAIL() << "a package that raises on import is broken, not missing";
    } catch (const python::PythonError& error) {
        EXPECT_STREQ(error.what(), "half-installed");
    }
}

TEST(PythonLayer, SimulatedAbsenceHidesEveryPackageWhileItLives) {
    if (!python::compiled_in()) {
        GTEST_SKIP() << "built without embedded Python";
    }
    {
        python::SimulatedAbsence absent;
        EXPECT_THROW(python::require("json"), MissingComponentError);
        { python::SimulatedAbsence nested; }
        EXPECT_THROW(python::require("json"), MissingComponentError);
    }
    EXPECT_NO_THROW(python::require("json"));
}

TEST(PythonLayer, FirstUseFromSeveralThreadsAtOnce) {
    if (!python::compiled_in()) {
        GTEST_SKIP() << "built without embedded Python";
    }
    // Run alone (as ctest does), this is the interpreter's first use: several threads race to
    // create it, then take turns with its lock. Each must see its own outcomes: a failed import
    // in one thread must not leak into, or be taken by, another.
    const std::vector<std::pair<std::string, std::string>> rounds = {
        {"json", "found"}, {"kestrune_no_such_package", "missing"}, {"collections", "found"}};
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    std::vector<std::vector<std::string>> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            for (int round = 0; round < 30; ++round) {
                outcomes[i].push_back(outcome_of(rounds[round % rounds.size()].first));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(outcomes[i].size(), 30U);
        for (std::size_t round = 0; round < outcomes[i].size(); ++round) {
            EXPECT_EQ(outcomes[i][round], rounds[round % rounds.size()].second)
                << "thread " << i << ", round " << round;
        }
    }
}
