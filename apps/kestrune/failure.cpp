#include "failure.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>
#include <vector>

#include "kestrune/engine/resolver.hpp"
#include "kestrune/registry/store.hpp"
#include "suggest.hpp"

namespace kestrune::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSuggestedNames = 3;

// A reference that can only mean a file: it names a folder, starts like a path or ends like a
// model file.
bool looks_like_path(const std::string& ref) {
    return ref.find("://") == std::string::npos &&
           (ref.find('/') != std::string::npos || ref.starts_with('.') || ref.starts_with('~') ||
            ref.ends_with(".gguf"));
}

std::vector<std::string> catalogue_names() {
    std::vector<std::string> names;
    for (const auto& record : registry::RegistryStore::catalog()) {
        names.push_back(record["name"].get<std::string>());
    }
    return names;
}

std::string joined(const std::vector<std::string>& words, std::string_view separator) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : std::string(separator)) + word;
    }
    return text;
}

std::string unknown_scheme(const std::string& scheme) {
    std::vector<std::string> known;
    for (const auto& entry : resolver::SCHEMES) {
        known.push_back(std::string(entry.name) + "://");
    }
    return "unknown kind of reference '" + scheme + "://' (known: " + joined(known, ", ") + ")";
}

std::string unknown_name(const std::string& name) {
    return "no model named '" + name + "' on this machine or in the catalogue; nearest: " +
           joined(nearest_words(name, catalogue_names(), kSuggestedNames), ", ") +
           " (kestrune list --catalog shows them all)";
}

}  // namespace

std::optional<std::string> file_problem(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        return "no such file: " + path;
    }
    if (fs::is_directory(status)) {
        return path + " is a directory, not a model file";
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return "cannot read " + path + ": " + std::generic_category().message(errno);
    }
    return std::nullopt;
}

std::optional<std::string> reference_problem(const std::string& ref, const Error& error) {
    std::error_code ignored;
    if (fs::exists(ref, ignored) || looks_like_path(ref)) {
        return file_problem(ref);
    }
    const auto separator = ref.find("://");
    if (separator != std::string::npos) {
        const std::string scheme = ref.substr(0, separator);
        const bool known = std::ranges::any_of(
            resolver::SCHEMES, [&](const resolver::Scheme& entry) { return entry.name == scheme; });
        return known ? std::nullopt : std::optional(unknown_scheme(scheme));
    }
    if (dynamic_cast<const NotFoundError*>(&error) != nullptr) {
        return unknown_name(ref);
    }
    return std::nullopt;
}

void rethrow_worded(const std::optional<std::string>& line, const Error& error) {
    if (line) {
        throw WordedFailure(*line, error.what());
    }
    throw;
}

}  // namespace kestrune::cli
