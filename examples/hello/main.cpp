// Chats with a model through the installed library: hello MODEL_REF [PROMPT]
#include <iostream>
#include <kestrune/kestrune.hpp>

int main(int argc, char** argv) try {
    if (argc < 2) {
        std::cerr << "usage: hello MODEL_REF [PROMPT]\n";
        return 2;
    }
    const std::string path = kestrune::resolver::resolve_model(argv[1]);
    kestrune::backends::NativeBackend backend;
    backend.load(path, {.n_ctx = 2048});
    const std::string prompt = argc > 2 ? argv[2] : "Why run models locally?";
    for (const auto& piece : backend.stream({{"user", prompt}}, {})) {
        std::cout << piece << std::flush;
    }
    std::cout << '\n';
    return 0;
} catch (const kestrune::Error& error) {
    std::cerr << error.what() << '\n';
    return 1;
}
