// kestrune: the command-line front end. Results go to standard output; failures print their
// message on standard error and exit 1; a malformed command line exits 2.
#include <cstdlib>

#include "app.hpp"

int main(int argc, char** argv) {
    // llama.cpp answers a failed assertion by attaching a debugger to print a backtrace, which
    // takes seconds and floods the terminal; the message line it prints first is enough.
    ::setenv("GGML_NO_BACKTRACE", "1", 0);
    return kestrune::cli::run_app(argc, argv);
}
