// Python packages a test writes into a temporary directory that is put first on the embedded
// interpreter's module search path. Beside them lies a module `stub_log`: record(call, **fields)
// appends one JSON line to calls.jsonl in that directory, which the test reads back, and
// flag(name) tells whether the test has set a marker file.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kestrune/platform/json.hpp"

namespace kestrune::testing {

class PythonPackages {
  public:
    // Writes the files (paths relative to the directory, e.g. "pkg/__init__.py") and the
    // stub_log module. The directory goes on the module path only with embedded Python.
    explicit PythonPackages(const std::vector<std::pair<std::string, std::string>>& files);
    ~PythonPackages();
    PythonPackages(const PythonPackages&) = delete;
    PythonPackages& operator=(const PythonPackages&) = delete;

    const std::string& directory() const { return directory_; }

    // The calls logged since the last clear, in order.
    std::vector<Json> calls() const;
    // The logged calls whose "call" is `name`.
    std::vector<Json> calls_named(const std::string& name) const;
    void clear_calls() const;

    // Creates or removes an empty marker file the stubs test for.
    void set_flag(const std::string& name, bool on) const;

  private:
    std::string directory_;
};

}  // namespace kestrune::testing
