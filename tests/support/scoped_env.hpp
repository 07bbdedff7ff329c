// Process-environment fixtures: a temporary directory, an environment variable set for one
// scope, and fake programs put first on PATH.
#pragma once

#include <string>

namespace kestrune::testing {

// A fresh directory below the system's temporary directory, removed with all its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `content` to `relative` (parent directories created) and returns its full path.
    std::string write(const std::string& relative, const std::string& content) const;
    // Creates the directory `relative` (with its parents) and returns its full path.
    std::string make_dir(const std::string& relative) const;
    // The text of the file `relative`, or "" when it does not exist.
    std::string read(const std::string& relative) const;

  private:
    std::string path_;
};

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

}  // namespace kestrune::testing
