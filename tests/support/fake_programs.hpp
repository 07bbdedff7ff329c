// Fake command-line programs: shell scripts in a temporary directory put first on PATH, so
// code that runs a program by its bare name finds the fake one.
#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"
#include "support/temp_home.hpp"

namespace kestrune::testing {

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
