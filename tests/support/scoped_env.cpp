#include "support/scoped_env.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace kestrune::testing {

namespace fs = std::filesystem;

namespace {

std::string current_path_variable() {
    const char* path = std::getenv("PATH");
    return path == nullptr ? "" : path;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& relative, const std::string& content) const {
    const fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
}

std::string TempDir::make_dir(const std::string& relative) const {
    const fs::path directory = fs::path(path_) / relative;
    fs::create_directories(directory);
    return directory.string();
}

std::string TempDir::read(const std::string& relative) const {
    std::ifstream file(fs::path(path_) / relative, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

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

FakePrograms::FakePrograms() : path_("PATH", dir_.path() + ":" + current_path_variable()) {}

void FakePrograms::add(const std::string& name, const std::string& script) const {
    const std::string file = dir_.write(name, "#!/bin/sh\n" + script + "\n");
    fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
}

}  // namespace kestrune::testing
