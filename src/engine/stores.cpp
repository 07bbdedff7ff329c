#include "engine/stores.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/json.hpp"
#include "core/text.hpp"
#include "engine/lookup.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/os/files.hpp"
#include "platform/os/system.hpp"

namespace kestrune::engine::resolver {

namespace files = platform::files;
namespace fs = std::filesystem;

namespace {

// --- Ollama -------------------------------------------------------------------------------

// Manifests are a few hundred bytes; anything near this is not one.
constexpr std::size_t kMaxManifestBytes = 4 * 1024 * 1024;

bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// One path part of a manifest path: neither "." nor ".." (which would leave the store), no
// "/" and no control characters.
bool is_safe_part(std::string_view part) {
    return !part.empty() && part != "." && part != ".." &&
           part.find('/') == std::string_view::npos && std::ranges::none_of(part, is_control);
}

// A name may carry a namespace ("user/model"); each of its parts must be safe. An empty tag
// ("llama3:") names the model's own directory, which stays inside the store.
void require_safe_name(const std::string& tag, const std::string& name,
                       const std::string& version) {
    const std::vector<std::string> parts = split(name, '/');
    if (!std::ranges::all_of(parts, is_safe_part) || !(version.empty() || is_safe_part(version))) {
        throw InvalidValueError("Invalid Ollama model name: " + text::escape_controls(tag));
    }
}

// "sha256:" and 64 hexadecimal digits: the only digest that names a file inside the store.
bool is_sha256_digest(std::string_view digest) {
    constexpr std::string_view prefix = "sha256:";
    return digest.size() == prefix.size() + 64 && digest.starts_with(prefix) &&
           std::ranges::all_of(digest.substr(prefix.size()),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// The manifest path itself, or for a directory its first entry (manifest.json when empty).
std::string manifest_file(const std::string& manifest_path) {
    if (!is_directory(manifest_path)) {
        return manifest_path;
    }
    std::error_code error;
    const fs::directory_iterator listing(manifest_path, error);
    if (error) {
        files::fail_file("Cannot list", manifest_path, error.value());
    }
    const std::string first = listing == fs::directory_iterator()
                                  ? std::string("manifest.json")
                                  : listing->path().filename().string();
    return files::join(manifest_path, first);
}

Json parse_manifest(const std::string& file) {
    const std::string text = files::read_regular_file(file, kMaxManifestBytes);
    try {
        return parse_answer(text);
    } catch (const Json::exception& error) {
        throw InvalidValueError("Ollama manifest is not valid JSON: " +
                                text::escape_controls(file) + " (" + error.what() + ")");
    }
}

// A layer's text field, "" when absent.
std::string text_field(const Json& layer, const char* key, const std::string& manifest) {
    if (!layer.contains(key)) {
        return "";
    }
    if (!layer[key].is_string()) {
        throw InvalidValueError("Ollama manifest layer field '" + std::string(key) +
                                "' is not text: " + text::escape_controls(manifest));
    }
    return layer[key].get<std::string>();
}

// The layer's blob file; absent for a layer without a digest.
std::optional<std::string> layer_blob(const Json& layer, const std::string& blobs,
                                      const std::string& manifest) {
    std::string digest = text_field(layer, "digest", manifest);
    if (digest.empty()) {
        return std::nullopt;
    }
    if (!is_sha256_digest(digest)) {
        throw InvalidValueError("Ollama manifest layer digest is not sha256:<64 hex digits>: " +
                                text::escape_controls(manifest));
    }
    std::ranges::replace(digest, ':', '-');
    return files::join(blobs, digest);
}

std::uintmax_t size_in_bytes(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        files::fail_file("Cannot read the size of", path, errno);
    }
    return static_cast<std::uintmax_t>(info.st_size);
}

// The largest entry of the blobs directory; the first listed wins among equals.
std::optional<std::string> largest_blob(const std::string& blobs) {
    if (!exists(blobs)) {
        return std::nullopt;
    }
    std::error_code error;
    fs::directory_iterator listing(blobs, error);
    if (error) {
        files::fail_file("Cannot list", blobs, error.value());
    }
    std::optional<std::string> largest;
    std::uintmax_t largest_size = 0;
    for (; listing != fs::directory_iterator(); listing.increment(error)) {
        const std::string path = files::join(blobs, listing->path().filename().string());
        const std::uintmax_t size = size_in_bytes(path);
        if (!largest || size > largest_size) {
            largest = path;
            largest_size = size;
        }
    }
    if (error) {
        files::fail_file("Cannot list", blobs, error.value());
    }
    return largest;
}

std::string announce(std::string_view where, const std::string& path) {
    say(std::string(where) + path);
    return path;
}

}  // namespace

std::optional<std::string> _ollama_model_blob(const std::string& manifest_path,
                                              const std::string& blobs) {
    if (!exists(manifest_path)) {
        return std::nullopt;
    }
    const std::string file = manifest_file(manifest_path);
    if (!exists(file)) {
        return std::nullopt;
    }
    const Json manifest = parse_manifest(file);
    if (!manifest.is_object()) {
        throw InvalidValueError("Ollama manifest is not a JSON object: " +
                                text::escape_controls(file));
    }
    const Json layers = manifest.contains("layers") ? manifest["layers"] : Json::array();
    if (!layers.is_array()) {
        throw InvalidValueError("Ollama manifest layers are not a list: " +
                                text::escape_controls(file));
    }
    for (const Json& layer : layers) {
        if (!layer.is_object()) {
            throw InvalidValueError("Ollama manifest layer is not a JSON object: " +
                                    text::escape_controls(file));
        }
        const auto blob = layer_blob(layer, blobs, file);
        // The media type is only looked at for a blob that is there.
        if (blob && exists(*blob) && text_field(layer, "mediaType", file).ends_with("model")) {
            return blob;
        }
    }
    return std::nullopt;
}

std::optional<std::string> _get_ollama_dir() {
    return first_existing({join_all(platform::system::home_dir(), {".ollama", "models"}),
                           "/usr/share/ollama/.ollama/models"});
}

std::optional<std::string> _get_lmstudio_dir() {
    const std::string home = platform::system::home_dir();
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
    require_safe_name(tag, pieces[0], version);
    const std::string manifest =
        join_all(*models, {"manifests", REGISTRY, "library", pieces[0], version});
    const std::string blobs = files::join(*models, "blobs");
    if (const auto blob = _ollama_model_blob(manifest, blobs)) {
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
    const auto match = first_gguf_in(
        {join_all(platform::system::home_dir(), {".cache", "huggingface", "hub"})}, name);
    if (!match) {
        throw NotFoundError("vLLM model '" + name +
                            "' not found in HF cache.\nvLLM uses safetensors (not GGUF). Try:\n"
                            "  kestrune run hf://" +
                            name + "  (auto-downloads GGUF version)");
    }
    return announce("  Found in HF/vLLM cache: ", *match);
}

std::string _resolve_llamacpp(const std::string& name) {
    return _resolve_llamacpp(name, platform::system::system_name());
}

std::vector<std::string> _llamacpp_dirs(const std::string& system) {
    std::vector<std::string> directories = {files::expand_home("~/llama.cpp/models"),
                                            files::expand_home("~/.local/share/llama.cpp/models"),
                                            "/opt/llama.cpp/models"};
    if (system == "Windows") {
        directories.emplace_back("C:/llama.cpp/models");
    }
    return directories;
}

std::string _resolve_llamacpp(const std::string& name, const std::string& system) {
    const auto match = first_gguf_in(_llamacpp_dirs(system), name);
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

}  // namespace kestrune::engine::resolver
