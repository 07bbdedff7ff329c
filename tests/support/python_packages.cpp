#include "support/python_packages.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "kestrune/platform/python.hpp"

namespace kestrune::testing {

namespace fs = std::filesystem;

namespace {

const char* const stub_log_module = R"PY(
import json
import os

_LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "calls.jsonl")


def record(call, **fields):
    with open(_LOG, "a", encoding="utf-8") as log:
        log.write(json.dumps(dict(call=call, **fields)) + "\n")


def flag(name):
    return os.path.exists(os.path.join(os.path.dirname(_LOG), name))
)PY";

std::string make_temp_directory() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-python-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    return pattern;
}

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace

PythonPackages::PythonPackages(const std::vector<std::pair<std::string, std::string>>& files)
    : directory_(make_temp_directory()) {
    write_file(fs::path(directory_) / "stub_log.py", stub_log_module);
    for (const auto& [relative, text] : files) {
        write_file(fs::path(directory_) / relative, text);
    }
    if (platform::python::compiled_in()) {
        platform::python::prepend_module_path(directory_);
    }
}

PythonPackages::~PythonPackages() {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

std::vector<Json> PythonPackages::calls() const {
    std::vector<Json> calls;
    std::ifstream log(fs::path(directory_) / "calls.jsonl");
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
    fs::remove(fs::path(directory_) / "calls.jsonl", ignored);
}

void PythonPackages::set_flag(const std::string& name, bool on) const {
    const fs::path marker = fs::path(directory_) / name;
    if (on) {
        write_file(marker, "");
    } else {
        std::error_code ignored;
        fs::remove(marker, ignored);
    }
}

}  // namespace kestrune::testing
