#include "support/temp_home.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kestrune::testing {

namespace {

std::optional<std::string> current_value(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void put_env(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

std::string make_temp_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-home-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    return buffer.data();
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), previous_(current_value(name_)) {
    put_env(name_, value);
}

ScopedEnv::~ScopedEnv() {
    put_env(name_, previous_);
}

TempHome::TempHome() : path_(make_temp_dir()), home_("HOME", path_) {}

TempHome::~TempHome() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempHome::operator/(const std::string& relative) const {
    return (std::filesystem::path(path_) / relative).string();
}

}  // namespace kestrune::testing
