#include "kestrune/engine/inventory.hpp"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "core/json.hpp"
#include "engine/resolver_internal.hpp"
#include "engine/stores.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/registry/store.hpp"
#include "platform/os/files.hpp"
#include "platform/os/system.hpp"
#include "registry/hub.hpp"

namespace kestrune::engine::inventory {

namespace {

namespace files = platform::files;
namespace fs = std::filesystem;

std::string file_name(const std::string& path) {
    return fs::path(path).filename().string();
}

double size_mb_of(const std::string& path) {
    std::error_code error;
    const std::uintmax_t bytes = fs::file_size(path, error);
    return error ? 0.0 : static_cast<double>(bytes) / (1024.0 * 1024.0);
}

LocalModel model_at(std::string name, const char* store, const std::string& path,
                    std::string quant = "") {
    return {.name = std::move(name),
            .store = store,
            .path = path,
            .size_mb = size_mb_of(path),
            .quant = std::move(quant)};
}

// Every GGUF file below `directory`, at any depth; hidden entries are skipped.
std::vector<std::string> gguf_files(const std::string& directory) {
    return files::find_gguf(directory, "");
}

std::vector<LocalModel> kestrune_cache() {
    const registry::RegistryStore store;
    std::map<std::string, Json> pulled;  // path → its index record
    for (Json& record : store.list_local()) {
        pulled.emplace(record["path"].get<std::string>(), std::move(record));
    }
    std::vector<LocalModel> models;
    for (const std::string& path : gguf_files(store.store_dir())) {
        const auto record = pulled.find(path);
        if (record == pulled.end()) {
            models.push_back(model_at(file_name(path), KESTRUNE_STORE, path));
        } else {
            models.push_back(model_at(record->second["name"].get<std::string>(), KESTRUNE_STORE,
                                      path, record->second["quant"].get<std::string>()));
        }
    }
    return models;
}

// "llama3:8b" for manifests/registry.ollama.ai/library/llama3/8b; other registries keep their
// host and namespace ("hf.co/owner/repo:Q4_K_M").
std::string ollama_name(const fs::path& relative) {
    std::vector<std::string> parts;
    for (const auto& part : relative) {
        parts.push_back(part.string());
    }
    std::string name;
    const bool standard =
        parts.size() == 4 && parts[0] == resolver::REGISTRY && parts[1] == "library";
    for (std::size_t i = standard ? 2 : 0; i + 1 < parts.size(); ++i) {
        name += (name.empty() ? "" : "/") + parts[i];
    }
    return name + ":" + parts.back();
}

std::vector<LocalModel> ollama_store() {
    const auto models_dir = resolver::_get_ollama_dir();
    if (!models_dir) {
        return {};
    }
    const fs::path manifests = files::join(*models_dir, "manifests");
    const std::string blobs = files::join(*models_dir, "blobs");
    std::vector<LocalModel> models;
    std::error_code error;
    for (fs::recursive_directory_iterator entry(manifests, error), end; !error && entry != end;
         entry.increment(error)) {
        if (!entry->is_regular_file(error)) {
            continue;
        }
        try {
            if (const auto blob = resolver::_ollama_model_blob(entry->path().string(), blobs)) {
                models.push_back(model_at(ollama_name(entry->path().lexically_relative(manifests)),
                                          OLLAMA_STORE, *blob));
            }
        } catch (const Error&) {
            // A damaged manifest names no model; the others are still listed.
        }
    }
    return models;
}

std::vector<LocalModel> files_in(const std::vector<std::string>& directories, const char* store) {
    std::vector<LocalModel> models;
    for (const std::string& directory : directories) {
        for (const std::string& path : gguf_files(directory)) {
            models.push_back(model_at(file_name(path), store, path));
        }
    }
    return models;
}

std::vector<LocalModel> lmstudio_store() {
    const auto directory = resolver::_get_lmstudio_dir();
    return directory ? files_in({*directory}, LMSTUDIO_STORE) : std::vector<LocalModel>{};
}

// "owner/repo/file.gguf" for HF_HOME/hub/models--owner--repo/snapshots/REVISION/file.gguf.
std::string hub_name(const fs::path& relative) {
    auto part = relative.begin();
    std::string repo = part->string();
    constexpr std::string_view kPrefix = "models--";
    if (!repo.starts_with(kPrefix) || std::distance(relative.begin(), relative.end()) < 4) {
        return relative.filename().string();
    }
    repo = repo.substr(kPrefix.size());
    for (auto at = repo.find("--"); at != std::string::npos; at = repo.find("--", at + 1)) {
        repo.replace(at, 2, "/");
    }
    std::advance(part, 3);  // past "snapshots" and the revision
    fs::path file;
    for (; part != relative.end(); ++part) {
        file /= *part;
    }
    return repo + "/" + file.string();
}

std::vector<LocalModel> hub_cache() {
    const std::string root = registry::hub::cache_root();
    std::vector<LocalModel> models;
    for (const std::string& path : gguf_files(root)) {
        models.push_back(
            model_at(hub_name(fs::path(path).lexically_relative(root)), HUGGINGFACE_STORE, path));
    }
    return models;
}

// llama.cpp's download cache (LLAMA_CACHE, else ~/.cache/llama.cpp) and its model folders.
std::vector<std::string> llamacpp_dirs() {
    const char* cache = std::getenv("LLAMA_CACHE");
    std::vector<std::string> directories = {cache != nullptr && *cache != '\0'
                                                ? std::string(cache)
                                                : files::expand_home("~/.cache/llama.cpp")};
    for (std::string& directory : resolver::_llamacpp_dirs(platform::system::system_name())) {
        directories.push_back(std::move(directory));
    }
    return directories;
}

std::string canonical(const std::string& path) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved.string();
}

}  // namespace

void to_json(Json& json, const LocalModel& model) {
    json = Json{{"name", model.name},
                {"store", model.store},
                {"path", model.path},
                {"size_mb", model.size_mb},
                {"quant", model.quant}};
}

std::vector<LocalModel> list_models() {
    std::vector<LocalModel> listed;
    std::set<std::string> seen;
    for (const auto& store : {kestrune_cache(), ollama_store(), lmstudio_store(), hub_cache(),
                              files_in(llamacpp_dirs(), LLAMACPP_STORE)}) {
        for (const LocalModel& model : store) {
            if (seen.insert(canonical(model.path)).second) {
                listed.push_back(model);
            }
        }
    }
    return listed;
}

bool answers_to(const LocalModel& model, const std::string& name) {
    const std::string file = file_name(model.path);
    return model.name == name || model.path == name || file == name || file == name + ".gguf";
}

std::vector<std::string> remove_from_cache(const std::string& name) {
    std::vector<std::string> removed = registry::RegistryStore().remove(name);
    for (const LocalModel& model : kestrune_cache()) {
        if (answers_to(model, name)) {
            std::error_code error;
            if (!fs::remove(model.path, error) && error) {
                files::fail_file("Cannot remove", model.path, error.value());
            }
            removed.push_back(model.path);
        }
    }
    for (const std::string& path : removed) {
        std::error_code ignored;
        fs::remove(resolver::_download_record(path), ignored);
    }
    return removed;
}

}  // namespace kestrune::engine::inventory
