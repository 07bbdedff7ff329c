// Placeholder front end until the command line exists: proves the build links llama.cpp.
#include <llama.h>

#include <iostream>

int main() {
    llama_backend_init();
    std::cout << "kestrune: llama.cpp " << llama_print_system_info() << '\n';
    llama_backend_free();
    return 0;
}
