#include "kestrune/registry/store.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/output.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/os/files.hpp"
#include "registry/hub.hpp"

namespace kestrune::registry {

namespace fs = std::filesystem;

namespace {

struct CatalogEntry {
    std::string_view name;
    std::string_view repo;
};

// Repositories that publish one GGUF file per quantisation, named after it.
constexpr std::array kCatalog{
    CatalogEntry{"qwen2.5:0.5b", "bartowski/Qwen2.5-0.5B-Instruct-GGUF"},
    CatalogEntry{"qwen2.5:3b", "bartowski/Qwen2.5-3B-Instruct-GGUF"},
    CatalogEntry{"qwen2.5:7b", "bartowski/Qwen2.5-7B-Instruct-GGUF"},
    CatalogEntry{"qwen2.5:14b", "bartowski/Qwen2.5-14B-Instruct-GGUF"},
    CatalogEntry{"qwen2.5-coder:7b", "bartowski/Qwen2.5-Coder-7B-Instruct-GGUF"},
    CatalogEntry{"qwen3:8b", "bartowski/Qwen_Qwen3-8B-GGUF"},
    CatalogEntry{"llama3.2:1b", "bartowski/Llama-3.2-1B-Instruct-GGUF"},
    CatalogEntry{"llama3.2:3b", "bartowski/Llama-3.2-3B-Instruct-GGUF"},
    CatalogEntry{"llama3.1:8b", "bartowski/Meta-Llama-3.1-8B-Instruct-GGUF"},
    CatalogEntry{"mistral:7b", "bartowski/Mistral-7B-Instruct-v0.3-GGUF"},
    CatalogEntry{"gemma2:9b", "bartowski/gemma-2-9b-it-GGUF"},
    CatalogEntry{"gemma3:4b", "bartowski/google_gemma-3-4b-it-GGUF"},
    CatalogEntry{"gemma3:27b", "bartowski/google_gemma-3-27b-it-GGUF"},
    CatalogEntry{"phi3.5:3.8b", "bartowski/Phi-3.5-mini-instruct-GGUF"},
    CatalogEntry{"phi4:14b", "bartowski/phi-4-GGUF"},
    CatalogEntry{"deepseek-r1:7b", "bartowski/DeepSeek-R1-Distill-Qwen-7B-GGUF"},
    CatalogEntry{"smollm2:1.7b", "bartowski/SmolLM2-1.7B-Instruct-GGUF"},
};

std::string lower_case(std::string_view text) {
    std::string lowered(text);
    std::ranges::transform(lowered, lowered.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

const CatalogEntry* find_catalog_entry(const std::string& name) {
    const std::string wanted = lower_case(name);
    const auto* entry = std::ranges::find(kCatalog, wanted, &CatalogEntry::name);
    return entry == kCatalog.end() ? nullptr : entry;
}

bool is_word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// The quantisation tag stands alone in the name: "Q4_0" is found in "m-Q4_0.gguf" but not in
// "m-Q4_0_4_4.gguf", and "Q2_K" is not found in "m-IQ2_K.gguf".
bool names_quant(const std::string& file_name, const std::string& quant) {
    const std::string name = lower_case(file_name);
    const std::string tag = lower_case(quant);
    for (std::size_t at = name.find(tag); at != std::string::npos; at = name.find(tag, at + 1)) {
        const std::size_t after = at + tag.size();
        const bool starts_word = at == 0 || !is_word_char(name[at - 1]);
        const bool ends_word =
            after == name.size() || (!is_word_char(name[after]) && name[after] != '_');
        if (starts_word && ends_word) {
            return true;
        }
    }
    return false;
}

bool is_model_file(const std::string& file_name) {
    const std::string name = lower_case(file_name);
    return name.ends_with(".gguf") && !contains(name, "mmproj");
}

// The files of the listing that carry the quantisation, best first: whole-model files, in
// listing order, ahead of the shards of a split model.
std::vector<std::string> quant_files(const std::vector<registry::hub::RepoFile>& listing,
                                     const std::string& quant) {
    std::vector<std::string> whole;
    std::vector<std::string> shards;
    for (const registry::hub::RepoFile& file : listing) {
        if (is_model_file(file.rfilename) && names_quant(file.rfilename, quant)) {
            (contains(file.rfilename, "-of-") ? shards : whole).push_back(file.rfilename);
        }
    }
    whole.insert(whole.end(), shards.begin(), shards.end());
    return whole;
}

// A text field of an index record; anything else (a record that is no object, a field of
// another type) reads as absent, so a hand-edited index cannot crash a look-up.
std::string text_field(const Json& record, const char* key) {
    if (!record.is_object()) {
        return "";
    }
    const auto found = record.find(key);
    return found != record.end() && found->is_string() ? found->get<std::string>() : "";
}

// The records of the index file: an empty list when there is no file, absent when the file is
// there but is no index.
std::optional<Json> parse_index(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return Json::array();
    }
    Json index = Json::parse(in, nullptr, false);
    if (!index.is_object() || !index.contains("models") || !index["models"].is_array()) {
        return std::nullopt;
    }
    return index["models"];
}

// Moves a damaged index to the first free "<index>.damaged[.N]" name, so the next write does
// not destroy what a person may still want to repair.
void keep_damaged_index(const std::string& path) {
    std::string aside = path + ".damaged";
    for (int n = 1; fs::exists(aside); ++n) {
        aside = path + ".damaged." + std::to_string(n);
    }
    fs::rename(path, aside);
    output::print("  Warning: " + path + " was damaged; kept as " + aside + "\n");
}

std::string file_name_of(const std::string& path) {
    return fs::path(path).filename().string();
}

// A record answers to its catalogue name (any case) and to its file's name, ".gguf" or not.
bool record_matches(const Json& model, const std::string& name) {
    const std::string file = file_name_of(text_field(model, "path"));
    return lower_case(text_field(model, "name")) == lower_case(name) || file == name ||
           file == name + ".gguf";
}

}  // namespace

RegistryStore::RegistryStore()
    : RegistryStore(platform::files::expand_home("~/.cache/kestrune/models")) {}

RegistryStore::RegistryStore(std::string store_dir) : store_dir_(std::move(store_dir)) {}

std::string RegistryStore::index_path() const {
    return platform::files::join(store_dir_, "index.json");
}

Json RegistryStore::read_index() const {
    return parse_index(index_path()).value_or(Json::array());
}

void RegistryStore::write_index(const Json& models) const {
    // Written beside the index and renamed over it, so a crash never leaves half an index.
    const std::string temporary = index_path() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << Json{{"models", models}}.dump(2) << '\n';
        if (!out) {
            throw RuntimeFailure("Cannot write " + temporary);
        }
    }
    fs::rename(temporary, index_path());
}

std::optional<std::string> RegistryStore::pull(const std::string& name, const std::string& quant) {
    const CatalogEntry* entry = find_catalog_entry(name);
    if (entry == nullptr) {
        throw NotFoundError("Unknown model: " + name + " (kestrune list --catalog shows them)");
    }
    const std::string catalog_name(entry->name);
    const std::string repo(entry->repo);

    const std::optional<Json> parsed = parse_index(index_path());
    Json models = parsed.value_or(Json::array());
    for (const Json& model : models) {
        const std::string stored = text_field(model, "path");
        if (text_field(model, "name") == catalog_name && text_field(model, "quant") == quant &&
            fs::is_regular_file(stored)) {
            return stored;
        }
    }

    const std::vector<std::string> files = quant_files(registry::hub::list_repo_tree(repo), quant);
    if (files.empty()) {
        throw NotFoundError("No " + quant + " GGUF file in " + repo);
    }
    fs::create_directories(store_dir_);
    registry::hub::DownloadOptions into_store;
    into_store.local_dir = store_dir_;
    // The hub leaves names it would refuse out of its listing, so the best one is safe.
    const std::string path = registry::hub::hf_hub_download(repo, files.front(), into_store);

    if (!parsed) {
        keep_damaged_index(index_path());
    }
    Json kept = Json::array();
    for (Json& model : models) {
        if (text_field(model, "path") != path) {
            kept.push_back(std::move(model));
        }
    }
    Json record = Json::object();
    record["name"] = catalog_name;
    record["path"] = path;
    record["quant"] = quant;
    record["repo"] = repo;
    kept.push_back(std::move(record));
    write_index(kept);
    return path;
}

std::optional<std::string> RegistryStore::resolve(const std::string& name) const {
    const Json models = read_index();
    // The latest pull of a name wins.
    for (auto model = models.rbegin(); model != models.rend(); ++model) {
        const std::string path = text_field(*model, "path");
        if (record_matches(*model, name) && fs::is_regular_file(path)) {
            return path;
        }
    }
    return std::nullopt;
}

std::vector<std::string> RegistryStore::remove(const std::string& name) {
    std::vector<std::string> removed;
    Json kept = Json::array();
    for (Json& model : read_index()) {
        if (!record_matches(model, name)) {
            kept.push_back(std::move(model));
            continue;
        }
        const std::string path = text_field(model, "path");
        std::error_code ignored;  // a file already gone still leaves the index
        fs::remove(path, ignored);
        removed.push_back(path);
    }
    if (!removed.empty()) {
        write_index(kept);
    }
    return removed;
}

std::vector<Json> RegistryStore::list_local() const {
    std::vector<Json> listed;
    for (const Json& model : read_index()) {
        const std::string path = text_field(model, "path");
        if (!fs::is_regular_file(path)) {
            continue;
        }
        Json record = Json::object();
        record["name"] = text_field(model, "name");
        record["path"] = path;
        record["size_mb"] = platform::files::file_size_mb(path);
        record["quant"] = text_field(model, "quant");
        record["repo"] = text_field(model, "repo");
        listed.push_back(std::move(record));
    }
    return listed;
}

std::vector<Json> RegistryStore::catalog() {
    std::vector<Json> records;
    for (const CatalogEntry& entry : kCatalog) {
        Json record = Json::object();
        record["name"] = entry.name;
        record["repo"] = entry.repo;
        record["source"] = "catalog";
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<Json> RegistryStore::search(const std::string& query) {
    const std::string wanted = lower_case(query);
    std::vector<Json> found;
    for (Json& record : catalog()) {
        if (contains(record["name"].get<std::string>(), wanted) ||
            contains(lower_case(record["repo"].get<std::string>()), wanted)) {
            found.push_back(std::move(record));
        }
    }
    if (wanted.empty()) {
        return found;
    }
    std::vector<std::string> hub_ids;
    try {
        hub_ids = registry::hub::list_models(query, "gguf");
    } catch (const Error& error) {
        // An unreachable hub leaves the catalogue's answer, and a word that it is only that.
        output::print("  The Hugging Face hub could not be reached (" + std::string(error.what()) +
                      "): catalogue models only\n");
        return found;
    }
    for (const std::string& id : hub_ids) {
        if (std::ranges::any_of(kCatalog, [&](const CatalogEntry& e) { return e.repo == id; })) {
            continue;
        }
        Json record = Json::object();
        record["name"] = id;
        record["repo"] = id;
        record["source"] = "huggingface";
        found.push_back(std::move(record));
    }
    return found;
}

}  // namespace kestrune::registry
