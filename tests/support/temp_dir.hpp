// A temporary directory that is removed with everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    // Writes `content` to the relative path, creating parent directories; returns the path.
    std::filesystem::path write(std::string_view relative, std::string_view content) const;

  private:
    std::filesystem::path path_;
};

}  // namespace kestrune::testing
