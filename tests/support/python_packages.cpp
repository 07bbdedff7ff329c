#include "support/python_packages.hpp"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/python/python.hpp"

namespace kestrune::testing {

namespace {

const char* const stub_log_module = R"PY(
import json
import os

_HERE = os.path.dirname(os.path.abspath(__file__))


def record(call, **fields):
    with open(os.path.join(_HERE, "calls.jsonl"), "a", encoding="utf-8") as log:
        log.write(json.dumps(dict(call=call, **fields)) + "\n")


def flag(name):
    return os.path.exists(os.path.join(_HERE, name))
)PY";

}  // namespace

PythonPackages::PythonPackages(const std::vector<std::pair<std::string, std::string>>& files) {
    directory_.write("stub_log.py", stub_log_module);
    for (const auto& [relative, text] : files) {
        directory_.write(relative, text);
    }
    if (platform::python::compiled_in()) {
        platform::python::prepend_module_path(directory_.str());
    }
}

std::vector<Json> PythonPackages::calls() const {
    std::vector<Json> calls;
    std::ifstream log(directory_.path() / "calls.jsonl");
    for (std::string line; std::getline(log, line);) {
        calls.push_back(Json::parse(line));
    }
    return calls;
}

std::vector<Json> PythonPackages::calls_named(const std::string& name) const {
    std::vector<Json> named;
    for (auto& call : calls()) {
        if (call.at("call") == name) {
            named.push_back(std::move(call));
        }
    }
    return named;
}

void PythonPackages::clear_calls() const {
    std::error_code ignored;
    std::filesystem::remove(directory_.path() / "calls.jsonl", ignored);
}

void PythonPackages::set_flag(const std::string& name, bool on) const {
    if (on) {
        directory_.write(name, "");
    } else {
        std::error_code ignored;
        std::filesystem::remove(directory_.path() / name, ignored);
    }
}

}  // namespace kestrune::testing
