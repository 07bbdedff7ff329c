#include "kestrune/engine/resolver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "platform/download.hpp"
#include "platform/files.hpp"
#include "platform/http.hpp"
#include "platform/hub.hpp"

namespace kestrune::resolver {

namespace files = platform::files;
namespace fs = std::filesystem;

namespace {

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// Follows links; a name the system cannot even look up counts as absent.
bool exists(const std::string& path) {
    struct stat info {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

[[noreturn]] void fail_file(const std::string& what, const std::string& path, int error) {
    throw fs::filesystem_error(what, fs::path(path),
                               std::error_code(error, std::generic_category()));
}

std::string join_all(std::string path, std::initializer_list<std::string_view> names) {
    for (const std::string_view name : names) {
        path = files::join(path, name);
    }
    return path;
}

// Every piece between separators, empty ones included ("a::b" has three pieces, "" one).
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (auto end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// Made absolute and normalised by text alone: links are not resolved, no trailing "/".
std::string absolute_path(const std::string& path) {
    std::string absolute = fs::absolute(path).lexically_normal().string();
    while (absolute.size() > 1 && absolute.back() == '/') {
        absolute.pop_back();
    }
    return absolute;
}

std::optional<std::string> first_existing(std::initializer_list<std::string> candidates) {
    for (const std::string& candidate : candidates) {
        if (exists(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// The first "*name*.gguf" file of the first directory that holds one.
std::optional<std::string> first_gguf_in(const std::vector<std::string>& directories,
                                         const std::string& name) {
    for (const std::string& directory : directories) {
        if (std::string match = files::find_first_gguf(directory, name); !match.empty()) {
            return match;
        }
    }
    return std::nullopt;
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
    if (auto held = downloader::resolve_local_model(model_ref); held && !held->empty()) {
        return *held;
    }
    if (auto found = _search_local(model_ref)) {
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
    for (const auto& file : platform::hub::list_repo_tree(repo)) {
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

// --- Ollama -------------------------------------------------------------------------------

std::string read_file(const std::string& path) {
    if (is_directory(path)) {
        fail_file("Cannot read", path, EISDIR);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail_file("Cannot read", path, errno);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The manifest path itself, or for a directory its first entry (manifest.json when empty).
std::string manifest_file(const std::string& manifest_path) {
    if (!is_directory(manifest_path)) {
        return manifest_path;
    }
    const fs::directory_iterator listing(manifest_path);
    const std::string first = listing == fs::directory_iterator()
                                  ? std::string("manifest.json")
                                  : listing->path().filename().string();
    return files::join(manifest_path, first);
}

// A layer's text field, "" when absent.
std::string text_field(const Json& layer, const char* key, const std::string& manifest) {
    if (!layer.contains(key)) {
        return "";
    }
    if (!layer[key].is_string()) {
        throw InvalidValueError("Ollama manifest layer field '" + std::string(key) +
                                "' is not text: " + manifest);
    }
    return layer[key].get<std::string>();
}

// The blob of the manifest's model layer, when the manifest and that blob exist.
std::optional<std::string> model_layer_blob(const std::string& manifest_path,
                                            const std::string& blobs) {
    if (!exists(manifest_path)) {
        return std::nullopt;
    }
    const std::string file = manifest_file(manifest_path);
    if (!exists(file)) {
        return std::nullopt;
    }
    const Json manifest = Json::parse(read_file(file));
    if (!manifest.is_object()) {
        throw InvalidValueError("Ollama manifest is not a JSON object: " + file);
    }
    const Json layers = manifest.contains("layers") ? manifest["layers"] : Json::array();
    if (!layers.is_array()) {
        throw InvalidValueError("Ollama manifest layers are not a list: " + file);
    }
    for (const Json& layer : layers) {
        if (!layer.is_object()) {
            throw InvalidValueError("Ollama manifest layer is not a JSON object: " + file);
        }
        std::string digest = text_field(layer, "digest", file);
        std::ranges::replace(digest, ':', '-');
        const std::string blob = files::join(blobs, digest);
        // The media type is only looked at for a blob that is there.
        if (exists(blob) && text_field(layer, "mediaType", file).ends_with("model")) {
            return blob;
        }
    }
    return std::nullopt;
}

std::uintmax_t size_in_bytes(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        fail_file("Cannot read size", path, errno);
    }
    return static_cast<std::uintmax_t>(info.st_size);
}

// The largest entry of the blobs directory; the first listed wins among equals.
std::optional<std::string> largest_blob(const std::string& blobs) {
    if (!exists(blobs)) {
        return std::nullopt;
    }
    std::optional<std::string> largest;
    std::uintmax_t largest_size = 0;
    for (const auto& entry : fs::directory_iterator(blobs)) {
        const std::string path = files::join(blobs, entry.path().filename().string());
        const std::uintmax_t size = size_in_bytes(path);
        if (!largest || size > largest_size) {
            largest = path;
            largest_size = size;
        }
    }
    return largest;
}

std::string announce(std::string_view where, const std::string& path) {
    say(std::string(where) + path);
    return path;
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
    return platform::hub::hf_hub_download(repo_id, filename,
                                          {.local_dir = output_dir, .resume = true});
}

std::string _resolve_url(const std::string& url, const std::string& output_dir) {
    const std::string name = url_file_name(url);
    if (name.empty() || name == "." || name == "..") {
        throw InvalidValueError("Download address names no file: " + url);
    }
    const std::string target = files::join(output_dir, name);
    if (exists(target)) {
        say("  Already downloaded: " + target);
        return target;
    }
    say("  Downloading " + platform::http::redacted_url(url) + "...");
    platform::download::fetch_to_file(url, target, {.label = name});
    return target;
}

std::optional<std::string> _search_local(const std::string& name) {
    return _search_local(name, platform::files::system_name());
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

std::optional<std::string> _get_ollama_dir() {
    return first_existing(
        {join_all(files::home_dir(), {".ollama", "models"}), "/usr/share/ollama/.ollama/models"});
}

std::optional<std::string> _get_lmstudio_dir() {
    const std::string home = files::home_dir();
    return first_existing({join_all(home, {".cache", "lm-studio", "models"}),
                           join_all(home, {"AppData", "Roaming", "LM Studio", "models"})});
}

std::string _resolve_ollama(const std::string& tag) {
    const auto models = _get_ollama_dir();
    if (!models) {
        throw NotFoundError("Ollama directory not found. Is Ollama installed?\nInstall: " +
                            std::string(OLLAMA_DOWNLOAD_URL));
    }
    const std::vector<std::string> pieces = split(tag, ':');
    const std::string version = pieces.size() > 1 ? pieces[1] : "latest";
    const std::string manifest =
        join_all(*models, {"manifests", REGISTRY, "library", pieces[0], version});
    const std::string blobs = files::join(*models, "blobs");
    if (const auto blob = model_layer_blob(manifest, blobs)) {
        return announce("  Found Ollama model: ", *blob);
    }
    if (const auto largest = largest_blob(blobs)) {
        say("  Warning: Using largest Ollama blob (may not be exact match)");
        return *largest;
    }
    throw NotFoundError("Ollama model not found: " + tag);
}

std::string _resolve_lmstudio(const std::string& name) {
    const auto directory = _get_lmstudio_dir();
    if (!directory) {
        throw NotFoundError("LM Studio directory not found.");
    }
    const std::vector<std::string> matches = files::find_gguf(*directory, name);
    if (matches.empty()) {
        throw NotFoundError("LM Studio model not found: " + name);
    }
    const auto preferred = std::ranges::find_if(
        matches, [](const std::string& path) { return path.find("Q4_K_M") != std::string::npos; });
    return announce("  Found LM Studio model: ",
                    preferred != matches.end() ? *preferred : matches[0]);
}

std::string _resolve_vllm(const std::string& name) {
    const auto match =
        first_gguf_in({join_all(files::home_dir(), {".cache", "huggingface", "hub"})}, name);
    if (!match) {
        throw NotFoundError("vLLM model '" + name +
                            "' not found in HF cache.\nvLLM uses safetensors (not GGUF). Try:\n"
                            "  kestrune run hf://" +
                            name + "  (auto-downloads GGUF version)");
    }
    return announce("  Found in HF/vLLM cache: ", *match);
}

std::string _resolve_llamacpp(const std::string& name) {
    return _resolve_llamacpp(name, platform::files::system_name());
}

std::string _resolve_llamacpp(const std::string& name, const std::string& system) {
    std::vector<std::string> directories = {files::expand_home("~/llama.cpp/models"),
                                            files::expand_home("~/.local/share/llama.cpp/models"),
                                            "/opt/llama.cpp/models"};
    if (system == "Windows") {
        directories.emplace_back("C:/llama.cpp/models");
    }
    const auto match = first_gguf_in(directories, name);
    if (!match) {
        throw NotFoundError("llama.cpp model '" + name + "' not found.");
    }
    return announce("  Found llama.cpp model: ", *match);
}

std::string _resolve_mlx(const std::string& name) {
    const auto match = first_gguf_in(
        {files::expand_home("~/.cache/huggingface/hub"), files::expand_home("~/mlx_models")}, name);
    if (!match) {
        throw NotFoundError("MLX model '" + name +
                            "' not found. MLX uses safetensors format.\nTry: kestrune run hf://" +
                            name);
    }
    return announce("  Found MLX model: ", *match);
}

}  // namespace kestrune::resolver
