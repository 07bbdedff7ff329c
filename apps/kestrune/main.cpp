// kestrune: the command-line front end. Results go to standard output; failures print their
// message on standard error and exit 1; a malformed command line exits 2.
#include "app.hpp"

int main(int argc, char** argv) {
    return kestrune::cli::run_app(argc, argv);
}
