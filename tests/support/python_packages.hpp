// Python packages a test writes into a temporary directory that is put first on the embedded
// interpreter's module search path. Beside them lies a module `stub_log`: record(call, **fields)
// appends one JSON line to calls.jsonl in that directory, which the test reads back, and
// flag(name) tells whether the test has set a marker file of that name.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "support/temp_dir.hpp"

namespace kestrune::testing {

class PythonPackages {
  public:
    // Writes the files (paths relative to the directory, e.g. "pkg/__init__.py") and stub_log.
    // The directory goes on the module path only in builds with embedded Python.
    explicit PythonPackages(const std::vector<std::pair<std::string, std::string>>& files);

    // The calls logged since the last clear, in order.
    std::vector<Json> calls() const;
    // The logged calls whose "call" is `name`.
    std::vector<Json> calls_named(const std::string& name) const;
    void clear_calls() const;

    // Creates or removes the marker file `name`.
    void set_flag(const std::string& name, bool on) const;

  private:
    TempDir directory_;
};

}  // namespace kestrune::testing
