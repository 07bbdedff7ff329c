#include "support/scoped_env.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace kestrune::testing {

namespace {

std::string current_path_variable() {
    const char* path = std::getenv("PATH");
    return path == nullptr ? "" : path;
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        had_value_ = true;
        old_value_ = old;
    }
    ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_value_) {
        ::setenv(name_.c_str(), old_value_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

FakePrograms::FakePrograms() : path_("PATH", dir_.str() + ":" + current_path_variable()) {}

void FakePrograms::add(const std::string& name, const std::string& script) const {
    const auto file = dir_.write(name, "#!/bin/sh\n" + script + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
}

std::string read_text_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace kestrune::testing
