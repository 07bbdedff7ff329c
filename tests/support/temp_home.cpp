#include "support/temp_home.hpp"

#include <cstdlib>
#include <utility>

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

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), previous_(current_value(name_)) {
    put_env(name_, value);
}

ScopedEnv::~ScopedEnv() {
    put_env(name_, previous_);
}

TempHome::TempHome() : home_("HOME", dir_.str()) {}

std::string TempHome::operator/(const std::string& relative) const {
    return (dir_.path() / relative).string();
}

}  // namespace kestrune::testing
