#include "server/model_pool.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>
#include <string_view>

#include "core/json.hpp"
#include "engine/lookup.hpp"
#include "engine/resolver_internal.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "kestrune/engine/inventory.hpp"
#include "kestrune/engine/resolver.hpp"
#include "kestrune/registry/store.hpp"
#include "platform/os/files.hpp"
#include "platform/os/system.hpp"

namespace kestrune::server {

namespace {

// Longer than any path or reference a person writes.
constexpr std::size_t kMaxReference = 4096;

// Schemes whose resolution downloads.
constexpr std::array<std::string_view, 4> kDownloadSchemes = {"hf", "huggingface", "http", "https"};

namespace fs = std::filesystem;

bool downloads(std::string_view scheme) {
    return std::ranges::find(kDownloadSchemes, scheme) != kDownloadSchemes.end();
}

// A reference that reads as a file of the disk rather than a name.
bool names_a_path(const std::string& reference) {
    return reference.find_first_of("/\\") != std::string::npos || reference.starts_with('.') ||
           reference.starts_with('~') || reference.ends_with(".gguf");
}

std::string normal_path(const std::string& path) {
    return fs::absolute(path).lexically_normal().string();
}

// Decided on the text alone, so that asking about a file elsewhere touches nothing.
bool lexically_within(const std::string& path, const std::vector<std::string>& folders) {
    const fs::path normal = normal_path(path);
    return std::ranges::any_of(folders, [&](const std::string& folder) {
        const fs::path relative = normal.lexically_relative(fs::path(normal_path(folder)));
        return !relative.empty() && *relative.begin() != ".." && relative != ".";
    });
}

[[noreturn]] void not_served(const std::string& reference) {
    throw NotFoundError("model '" + reference +
                        "' is not served here (see --models-dir, and --allow-pull for downloads)");
}

void check_reference(const std::string& reference) {
    if (reference.empty()) {
        throw InvalidValueError("no model named");
    }
    if (reference.size() > kMaxReference) {
        throw InvalidValueError("a model name of " + std::to_string(reference.size()) +
                                " characters is longer than the " + std::to_string(kMaxReference) +
                                " allowed");
    }
    if (const auto separator = reference.find("://");
        separator != std::string::npos && !resolver::known_scheme(reference.substr(0, separator))) {
        throw InvalidValueError("unknown kind of model reference '" +
                                reference.substr(0, separator) + "://'");
    }
}

bool in_catalogue(const std::string& name) {
    const auto catalogue = registry::RegistryStore::catalog();
    return std::ranges::any_of(catalogue,
                               [&](const Json& entry) { return entry.value("name", "") == name; });
}

}  // namespace

bool KnownModel::answers_to(const std::string& reference) const {
    return std::ranges::find(aliases, reference) != aliases.end() ||
           (names_a_path(reference) && normal_path(reference) == path);
}

std::string short_name(const std::string& reference, const std::string& path) {
    const auto separator = reference.find("://");
    if (separator == std::string::npos) {
        return names_a_path(reference) ? fs::path(path).stem().string() : reference;
    }
    return downloads(reference.substr(0, separator)) ? fs::path(path).stem().string()
                                                     : reference.substr(separator + 3);
}

KnownModel ModelPool::remember(const std::string& reference, const std::string& path) {
    std::lock_guard lock(mutex_);
    auto same = std::ranges::find(known_, path, &KnownModel::path);
    if (same == known_.end()) {
        const std::string name = short_name(reference, path);
        known_.push_back(
            {.name = name, .path = path, .aliases = {name, fs::path(path).filename().string()}});
        same = std::prev(known_.end());
    }
    if (!same->answers_to(reference)) {
        same->aliases.push_back(reference);
    }
    return *same;
}

KnownModel ModelPool::serve(const std::string& reference) {
    check_reference(reference);
    return remember(reference,
                    normal_path(resolver::resolve_model(reference, options_.download_dir)));
}

std::vector<KnownModel> ModelPool::known() const {
    std::lock_guard lock(mutex_);
    return known_;
}

// The file for `reference` among what the server serves, downloading only where allowed.
std::optional<std::string> ModelPool::find_path(const std::string& reference) const {
    const auto separator = reference.find("://");
    if (separator != std::string::npos) {
        if (downloads(reference.substr(0, separator)) && !options_.allow_pull) {
            return std::nullopt;
        }
        // The stores of other runtimes take safe names only.
        return resolver::resolve_model(reference, options_.download_dir);
    }
    // A name the model list shows (its own cache and other runtimes' stores: "tiny:latest",
    // "owner/repo/file.gguf").
    for (const inventory::LocalModel& listed : inventory::list_models()) {
        if (inventory::answers_to(listed, reference)) {
            return listed.path;
        }
    }
    if (reference.find_first_of("/\\") != std::string::npos || reference.starts_with('~')) {
        std::vector<std::string> folders = options_.models_dirs;
        folders.push_back(registry::RegistryStore().store_dir());
        const std::string path = platform::files::expand_home(reference);
        if (lexically_within(path, folders) && fs::is_regular_file(path)) {
            return path;
        }
        return std::nullopt;
    }
    if (auto found = resolver::find_local_model(reference)) {
        return found;
    }
    if (auto found = resolver::first_gguf_in(options_.models_dirs, reference)) {
        return found;
    }
    if (options_.allow_pull && in_catalogue(reference)) {
        return downloader::pull_model(reference);
    }
    return std::nullopt;
}

KnownModel ModelPool::locate(const std::string& reference) {
    check_reference(reference);
    for (const KnownModel& known : known()) {
        if (known.answers_to(reference)) {
            return known;
        }
    }
    std::optional<std::string> path;
    try {
        path = find_path(reference);
    } catch (const NotFoundError&) {
        not_served(reference);
    }
    if (!path || path->empty()) {
        not_served(reference);
    }
    return remember(reference, normal_path(*path));
}

std::shared_ptr<LoadedModel> ModelPool::find(const std::string& reference) {
    // A model that lost a worker answers nothing trustworthy again. Loaded anew, it asks its
    // workers first: one started again serves it, one still gone is refused by name.
    std::erase_if(models_, [](const std::shared_ptr<LoadedModel>& model) {
        return model->model->weights().worker_failure().has_value();
    });
    const auto found = std::ranges::find_if(
        models_, [&](const auto& model) { return model->known.answers_to(reference); });
    return found == models_.end() ? nullptr : *found;
}

ModelPool::ModelPool(const PoolOptions& options) : options_(options), reaper_([this] { reap(); }) {}

ModelPool::~ModelPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    reaper_wake_.notify_all();
    reaper_.join();
}

void ModelPool::drop(std::shared_ptr<LoadedModel> model) {
    std::erase(models_, model);
    // Unused elsewhere, it goes now; its caches' memory goes back to the system rather than
    // staying with the allocator (RSS grew across model switches).
    if (model.use_count() == 1) {
        model.reset();
        platform::system::return_free_memory();
    }
}

std::shared_ptr<LoadedModel> ModelPool::use(std::shared_ptr<LoadedModel> model,
                                            std::optional<std::chrono::seconds> keep_alive) {
    model->keep_alive = keep_alive.value_or(options_.keep_alive);
    model->last_used = std::chrono::steady_clock::now();
    std::erase(models_, model);
    models_.insert(models_.begin(), model);
    while (models_.size() > static_cast<std::size_t>(std::max(options_.max_models, 1))) {
        drop(models_.back());
    }
    // The caller's hold, counted as a user until it lets go, when the model's idle time
    // begins (a model list holding the model for a moment is no use of it).
    ++model->users;
    LoadedModel* held = model.get();
    return {held, [this, model = std::move(model)](LoadedModel*) {
                std::lock_guard lock(mutex_);
                model->last_used = std::chrono::steady_clock::now();
                --model->users;
                reaper_wake_.notify_all();
            }};
}

std::shared_ptr<LoadedModel> ModelPool::find_loaded(const std::string& reference) {
    const KnownModel known = locate(reference);
    std::lock_guard lock(mutex_);
    const auto found = std::ranges::find_if(
        models_, [&](const auto& model) { return model->known.path == known.path; });
    return found == models_.end() ? nullptr : *found;
}

void ModelPool::unload(const std::shared_ptr<LoadedModel>& model) {
    std::lock_guard lock(mutex_);
    drop(model);
}

std::optional<std::chrono::system_clock::time_point> ModelPool::expires_at(
    const LoadedModel& model) const {
    std::lock_guard lock(mutex_);
    if (model.keep_alive.count() < 0) {
        return std::nullopt;
    }
    const auto idle = std::chrono::steady_clock::now() - model.last_used;
    return std::chrono::system_clock::now() - idle + model.keep_alive;
}

void ModelPool::reap() {
    constexpr auto kTick = std::chrono::milliseconds(250);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        reaper_wake_.wait_for(lock, kTick);
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::shared_ptr<LoadedModel>> expired;
        for (const auto& model : models_) {
            // Held by a request (or still decoding), a model is in use.
            if (model->users > 0 || model->model->scheduler().busy() > 0) {
                model->last_used = now;
            } else if (model->keep_alive.count() >= 0 &&
                       now - model->last_used >= model->keep_alive) {
                expired.push_back(model);
            }
        }
        for (auto& model : expired) {
            drop(std::move(model));
        }
    }
}

std::shared_ptr<LoadedModel> ModelPool::acquire(const std::string& reference,
                                                std::optional<std::chrono::seconds> keep_alive) {
    std::unique_lock lock(mutex_);
    // Another request for the same reference may be loading it: its model will serve this one.
    loads_done_.wait(lock, [&] { return !loading_.contains(reference); });
    if (auto model = find(reference)) {
        return use(std::move(model), keep_alive);
    }
    loading_.insert(reference);
    lock.unlock();
    std::shared_ptr<LoadedModel> model;
    std::exception_ptr failure;
    try {
        model = locate_and_load(reference);
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    loading_.erase(reference);
    loads_done_.notify_all();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return use(std::move(model), keep_alive);
}

// Outside the lock: locating may download, and loading takes a while.
std::shared_ptr<LoadedModel> ModelPool::locate_and_load(const std::string& reference) {
    const KnownModel known = locate(reference);
    {
        std::lock_guard lock(mutex_);
        const auto same_file = std::ranges::find_if(
            models_, [&](const auto& model) { return model->known.path == known.path; });
        if (same_file != models_.end()) {
            (*same_file)->known = known;
            return *same_file;
        }
        // A worker serves one client at a time: the model holding the workers goes first.
        if (!options_.rpc_workers.empty()) {
            models_.clear();
        }
    }
    return load(known);
}

std::vector<std::shared_ptr<LoadedModel>> ModelPool::loaded() const {
    std::lock_guard lock(mutex_);
    return models_;
}

void ModelPool::stop() {
    for (const auto& model : loaded()) {
        model->model->scheduler().stop();
    }
}

std::shared_ptr<LoadedModel> ModelPool::load(const KnownModel& known) {
    const std::string& path = known.path;
    auto model = std::make_shared<LoadedModel>();
    model->known = known;
    model->size_bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    model->loaded_at = std::chrono::system_clock::now();
    model->model = std::make_shared<inference::Model>(
        inference::ModelOptions{.path = path,
                                .n_threads = options_.n_threads,
                                .rpc_workers = options_.rpc_workers,
                                .scheduler = options_.scheduler});
    model->load_time = std::chrono::system_clock::now() - model->loaded_at;
    return model;
}

}  // namespace kestrune::server
