// Test helpers for the environment: a variable set for one scope, and a temporary HOME.
#pragma once

#include <optional>
#include <string>

#include "support/temp_dir.hpp"

namespace kestrune::testing {

// Sets (or, given nullopt, removes) an environment variable for the lifetime of the object and
// puts the previous value back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A fresh, empty directory made HOME for the lifetime of the object; removed with everything
// in it afterwards, and the previous HOME restored.
class TempHome {
  public:
    TempHome();

    std::string path() const { return dir_.str(); }
    // `relative` below the home directory.
    std::string operator/(const std::string& relative) const;

  private:
    TempDir dir_;
    ScopedEnv home_;
};

}  // namespace kestrune::testing
