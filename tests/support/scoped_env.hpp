// Process-environment fixtures: an environment variable set for one scope, and fake
// programs put first on PATH.
#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"

namespace kestrune::testing {

// Sets one environment variable for a scope, then restores its old value (or its absence).
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

// A temporary directory put first on PATH; add() writes executable shell scripts into it.
class FakePrograms {
  public:
    FakePrograms();
    // Writes `name` as "#!/bin/sh" followed by `script`, made executable.
    void add(const std::string& name, const std::string& script) const;
    const TempDir& dir() const { return dir_; }

  private:
    TempDir dir_;
    ScopedEnv path_;
};

// The whole text of a file, or "" when it cannot be read.
std::string read_text_file(const std::filesystem::path& path);

}  // namespace kestrune::testing
