// Chats with a model through the installed library: hello MODEL_REF [PROMPT]
#include <iostream>
#include <kestrune/backends/native.hpp>
#include <kestrune/engine/resolver.hpp>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: hello MODEL_REF [PROMPT]\n";
        return 2;
    }
    const std::string path = kestrune::resolver::resolve_model(argv[1]);
    kestrune::backends::NativeBackend backend;
    backend.load(path, {.n_ctx = 2048});
    const std::string prompt = argc > 2 ? argv[2] : "Why run models locally?";
    for (const auto& piece : backend.stream({{"user", prompt}})) {
        std::cout << piece << std::flush;
    }
    std::cout << '\n';
    return 0;
}
