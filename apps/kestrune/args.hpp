// Command-line arguments of one subcommand: positionals, options with a value, and flags.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune::cli {

// Malformed command line; the front end prints the message with the usage and exits 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a subcommand accepts: option names taking a value ("--host", "-p") and flags.
struct ArgSpec {
    std::set<std::string> options;
    std::set<std::string> flags;
    std::size_t min_positionals = 0;
    std::size_t max_positionals = 0;
};

class Args {
  public:
    // Parses `words` (the words after the subcommand); "--name=value" is accepted too.
    static Args parse(const std::vector<std::string>& words, const ArgSpec& spec);

    const std::vector<std::string>& positionals() const { return positionals_; }
    std::optional<std::string> positional(std::size_t index) const;
    std::optional<std::string> option(const std::string& name) const;
    bool flag(const std::string& name) const { return flags_.contains(name); }

    // The option as a number; a value that is not one is a UsageError naming the option.
    std::optional<long long> integer(const std::string& name) const;
    std::optional<double> real(const std::string& name) const;

  private:
    std::vector<std::string> positionals_;
    std::map<std::string, std::string> options_;
    std::set<std::string> flags_;
};

}  // namespace kestrune::cli
