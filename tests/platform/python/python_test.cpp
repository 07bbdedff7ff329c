#include "platform/python/python.hpp"

#include <gtest/gtest.h>

#include <atomic>
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
    // create it, then take turns with its lock.
    std::atomic<int> imported{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&imported] {
            for (int round = 0; round < 20; ++round) {
                python::require(round % 2 == 0 ? "json" : "collections");
                ++imported;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(imported.load(), 80);
}
