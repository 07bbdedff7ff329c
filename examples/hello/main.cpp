// Finds GGUF files below a directory with the installed library.
#include <iostream>
#include <kestrune/platform/files.hpp>

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : ".";
    for (const auto& path : kestrune::platform::files::find_gguf(directory, "")) {
        std::cout << path << '\n';
    }
    return 0;
}
