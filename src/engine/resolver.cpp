#include "kestrune/engine/resolver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/text.hpp"
#include "engine/downloader_internal.hpp"
#include "engine/lookup.hpp"
#include "engine/resolver_internal.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "platform/net/download.hpp"
#include "platform/net/http.hpp"
#include "platform/os/files.hpp"
#include "platform/os/system.hpp"
#include "registry/hub.hpp"

namespace kestrune::engine::resolver {

namespace files = platform::files;
namespace fs = std::filesystem;

namespace {

// Made absolute and normalised by text alone: links are not resolved, no trailing "/".
std::string absolute_path(const std::string& path) {
    std::string absolute = fs::absolute(path).lexically_normal().string();
    while (absolute.size() > 1 && absolute.back() == '/') {
        absolute.pop_back();
    }
    return absolute;
}

std::string not_found_message(const std::string& model_ref) {
    return "Modell nicht gefunden: " + model_ref + "\n\nOptionen:\n  kestrune pull " + model_ref +
           "        Herunterladen\n"
           "  kestrune list --catalog          Verfügbare Modelle\n"
           "  kestrune run ./pfad/model.gguf   Lokale Datei\n"
           "  kestrune run hf://user/repo      Von HuggingFace\n"
           "  kestrune run ollama://name       Von Ollama\n";
}

// A name without "://": what the registry holds, then the usual directories, then a pull
// from the catalogue.
std::string resolve_bare_name(const std::string& model_ref) {
    if (auto found = find_local_model(model_ref)) {
        return *found;
    }
    if (const auto record = downloader::_find_in_catalog(model_ref); record && !record->empty()) {
        say("  Modell '" + model_ref + "' nicht lokal — wird heruntergeladen...");
        if (auto pulled = downloader::pull_model(model_ref);
            pulled && !pulled->empty() && exists(*pulled)) {
            return *pulled;
        }
    }
    throw NotFoundError(not_found_message(model_ref));
}

// --- Hugging Face -------------------------------------------------------------------------

// The first listed ".gguf" file whose name contains `marker` ("" accepts any).
std::optional<std::string> first_listed_gguf(const std::string& repo, std::string_view marker) {
    for (const auto& file : registry::hub::list_repo_tree(repo)) {
        if (file.rfilename.ends_with(".gguf") && file.rfilename.find(marker) != std::string::npos) {
            return file.rfilename;
        }
    }
    return std::nullopt;
}

std::string auto_select_gguf(const std::string& repo) {
    auto chosen = first_listed_gguf(repo, "Q4_K_M");
    if (!chosen) {
        chosen = first_listed_gguf(repo, "");
    }
    if (!chosen) {
        throw NotFoundError("No GGUF files found in " + repo);
    }
    return *chosen;
}

// A repository file name must stay below the download directory once joined to it.
void refuse_escaping_file_name(const std::string& filename) {
    int depth = 0;
    for (const std::string& segment : split(filename, '/')) {
        if (segment == "..") {
            --depth;
        } else if (!segment.empty() && segment != ".") {
            ++depth;
        }
        if (depth < 0) {
            break;
        }
    }
    if (depth < 0 || filename.starts_with('/')) {
        throw InvalidValueError("Invalid HuggingFace file name: " + filename);
    }
}

// --- Direct downloads ---------------------------------------------------------------------

// The text after the last "/", without the query.
std::string url_file_name(const std::string& url) {
    const std::string last = url.substr(url.rfind('/') + 1);
    return last.substr(0, last.find('?'));
}

// The address the file was downloaded from, as its record says; absent without a record.
std::optional<std::string> download_source(const std::string& file) {
    if (!exists(_download_record(file))) {
        return std::nullopt;
    }
    constexpr std::size_t kLongestRecord = 64 * 1024;
    return std::string(
        text::trim_whitespace(files::read_regular_file(_download_record(file), kLongestRecord)));
}

// Without its record the file still counts as the plain name's download, so a failure to
// write it is not one of the download.
void remember_download_source(const std::string& file, const std::string& address) {
    std::ofstream(_download_record(file)) << address << '\n';
}

}  // namespace

const std::array<Scheme, 9> SCHEMES = {{
    {"hf", [](const std::string&, const std::string& rest,
              const std::string& output_dir) { return _resolve_huggingface(rest, output_dir); }},
    {"huggingface",
     [](const std::string&, const std::string& rest, const std::string& output_dir) {
         return _resolve_huggingface(rest, output_dir);
     }},
    {"ollama", [](const std::string&, const std::string& rest,
                  const std::string&) { return _resolve_ollama(rest); }},
    {"lmstudio", [](const std::string&, const std::string& rest,
                    const std::string&) { return _resolve_lmstudio(rest); }},
    {"vllm", [](const std::string&, const std::string& rest,
                const std::string&) { return _resolve_vllm(rest); }},
    {"llamacpp", [](const std::string&, const std::string& rest,
                    const std::string&) { return _resolve_llamacpp(rest); }},
    {"mlx", [](const std::string&, const std::string& rest,
               const std::string&) { return _resolve_mlx(rest); }},
    {"http", [](const std::string& reference, const std::string&,
                const std::string& output_dir) { return _resolve_url(reference, output_dir); }},
    {"https", [](const std::string& reference, const std::string&,
                 const std::string& output_dir) { return _resolve_url(reference, output_dir); }},
}};

bool known_scheme(std::string_view scheme) {
    return std::ranges::find(SCHEMES, scheme, &Scheme::name) != SCHEMES.end();
}

std::optional<std::string> find_local_model(const std::string& name) {
    if (auto held = downloader::resolve_local_model(name); held && !held->empty()) {
        return *held;
    }
    return _search_local(name);
}

std::string resolve_model(const std::string& model_ref, const std::string& output_dir) {
    if (exists(model_ref)) {
        return absolute_path(model_ref);
    }
    const auto separator = model_ref.find("://");
    if (separator == std::string::npos) {
        return resolve_bare_name(model_ref);
    }
    const std::string scheme = model_ref.substr(0, separator);
    const auto entry = std::ranges::find(SCHEMES, std::string_view(scheme), &Scheme::name);
    if (entry == SCHEMES.end()) {
        throw InvalidValueError("Unbekanntes Protokoll: " + scheme);
    }
    return entry->handle(model_ref, model_ref.substr(separator + 3), output_dir);
}

std::string _resolve_huggingface(const std::string& path, const std::string& output_dir) {
    const std::vector<std::string> parts = split(path, '/');
    if (parts.size() < 2) {
        throw InvalidValueError("Invalid HuggingFace path: " + path);
    }
    std::string repo_id = path;
    std::string filename;
    if (parts.size() == 2) {
        filename = auto_select_gguf(repo_id);
        say("  Auto-selected: " + filename);
    } else {
        repo_id = parts[0] + "/" + parts[1];
        filename = path.substr(repo_id.size() + 1);
    }
    refuse_escaping_file_name(filename);
    say("  Downloading " + filename + " from " + repo_id + "...");
    return registry::hub::hf_hub_download(repo_id, filename,
                                          {.local_dir = output_dir, .resume = true});
}

std::string url_download_path(const std::string& url, const std::string& output_dir) {
    const std::string name = url_file_name(url);
    if (name.empty() || name == "." || name == "..") {
        throw InvalidValueError("Download address names no file: " + url);
    }
    const std::string address = platform::http::redacted_url(url);
    const fs::path plain(name);
    std::optional<std::string> unrecorded;
    for (int n = 1;; ++n) {
        const std::string candidate =
            files::join(output_dir, n == 1 ? name
                                           : plain.stem().string() + "-" + std::to_string(n) +
                                                 plain.extension().string());
        if (!exists(candidate)) {
            return unrecorded.value_or(candidate);
        }
        const auto source = download_source(candidate);
        if (source == address) {
            return candidate;
        }
        if (!source && n == 1) {
            unrecorded = candidate;
        }
    }
}

std::string _resolve_url(const std::string& url, const std::string& output_dir) {
    const std::string target = url_download_path(url, output_dir);
    if (exists(target)) {
        say("  Already downloaded: " + target);
        return target;
    }
    const std::string address = platform::http::redacted_url(url);
    say("  Downloading " + address + "...");
    platform::download::fetch_to_file(url, target, {.label = url_file_name(url)});
    remember_download_source(target, address);
    return target;
}

std::string _download_record(const std::string& file) {
    return file + ".source";
}

std::optional<std::string> _search_local(const std::string& name) {
    return _search_local(name, platform::system::system_name());
}

std::optional<std::string> _search_local(const std::string& name, const std::string& system) {
    std::vector<std::string> directories = {".", files::expand_home("~/models"),
                                            files::expand_home("~/.cache/kestrune/models")};
    if (system == "Windows") {
        directories.insert(directories.end(), {"D:/models", "E:/models", "C:/models",
                                               files::expand_home("~/Desktop")});
    } else {
        directories.insert(directories.end(),
                           {"/mnt/d/models", "/mnt/e/models", "/models", "/opt/models"});
    }
    for (const auto& store : {_get_ollama_dir(), _get_lmstudio_dir()}) {
        if (store) {
            directories.push_back(*store);
        }
    }
    return first_gguf_in(directories, name);
}

}  // namespace kestrune::engine::resolver
