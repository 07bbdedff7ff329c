#include "support/fake_programs.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrune::testing {

namespace {

std::string path_with_first(const std::string& directory) {
    const char* path = std::getenv("PATH");
    return path == nullptr ? directory : directory + ":" + path;
}

}  // namespace

FakePrograms::FakePrograms() : path_("PATH", path_with_first(dir_.str())) {}

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
