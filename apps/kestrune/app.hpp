// The command line as a whole: the parser with every command, `help COMMAND`, --version, and
// how a malformed command line is told (exit 2, what is wrong, a suggestion when a word looks
// mistyped).
#pragma once

namespace kestrune::cli {

// Parses the command line and runs the command; returns the exit status.
int run_app(int argc, char** argv);

}  // namespace kestrune::cli
