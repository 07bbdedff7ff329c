#include "server/model_pool.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>
#include <string_view>

#include "engine/resolver_internal.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/resolver.hpp"

namespace kestrune::server {

namespace {

// Longer than any path or reference a person writes.
constexpr std::size_t kMaxReference = 4096;

// Schemes whose resolution downloads.
constexpr std::array<std::string_view, 4> kDownloadSchemes = {"hf", "huggingface", "http", "https"};

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

[[noreturn]] void refuse_download(const std::string& reference) {
    throw NotFoundError("model '" + reference +
                        "' is not on this machine (the server downloads only with --allow-pull)");
}

// The local file for `reference` without downloading anything.
std::string locate_without_download(const std::string& reference) {
    const auto separator = reference.find("://");
    if (separator != std::string::npos) {
        if (std::ranges::find(kDownloadSchemes, reference.substr(0, separator)) !=
            kDownloadSchemes.end()) {
            refuse_download(reference);
        }
        return resolver::resolve_model(reference);
    }
    if (std::filesystem::is_regular_file(reference)) {
        return std::filesystem::absolute(reference).lexically_normal().string();
    }
    if (auto found = resolver::find_local_model(reference)) {
        return *found;
    }
    refuse_download(reference);
}

}  // namespace

std::string ModelPool::locate(const std::string& reference) const {
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
    try {
        return options_.allow_pull ? resolver::resolve_model(reference, options_.download_dir)
                                   : locate_without_download(reference);
    } catch (const NotFoundError& error) {
        throw NotFoundError(first_line(error.what()));
    }
}

std::shared_ptr<LoadedModel> ModelPool::find(const std::string& reference) {
    // A model that lost a worker answers nothing trustworthy again. Loaded anew, it asks its
    // workers first: one started again serves it, one still gone is refused by name.
    std::erase_if(models_, [](const std::shared_ptr<LoadedModel>& model) {
        return model->model->weights().worker_failure().has_value();
    });
    const auto found = std::ranges::find(models_, reference, &LoadedModel::name);
    return found == models_.end() ? nullptr : *found;
}

std::shared_ptr<LoadedModel> ModelPool::use(std::shared_ptr<LoadedModel> model) {
    std::erase(models_, model);
    models_.insert(models_.begin(), model);
    while (models_.size() > static_cast<std::size_t>(std::max(options_.max_models, 1))) {
        models_.pop_back();
    }
    return model;
}

std::shared_ptr<LoadedModel> ModelPool::acquire(const std::string& reference) {
    std::unique_lock lock(mutex_);
    // Another request for the same reference may be loading it: its model will serve this one.
    loads_done_.wait(lock, [&] { return !loading_.contains(reference); });
    if (auto model = find(reference)) {
        return use(std::move(model));
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
    return use(std::move(model));
}

// Outside the lock: locating may download, and loading takes a while.
std::shared_ptr<LoadedModel> ModelPool::locate_and_load(const std::string& reference) {
    const std::string path = locate(reference);
    {
        std::lock_guard lock(mutex_);
        const auto same_file = std::ranges::find(models_, path, &LoadedModel::path);
        if (same_file != models_.end()) {
            return *same_file;
        }
        // A worker serves one client at a time: the model holding the workers goes first.
        if (!options_.rpc_workers.empty()) {
            models_.clear();
        }
    }
    return load(reference, path);
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

std::shared_ptr<LoadedModel> ModelPool::load(const std::string& reference,
                                             const std::string& path) {
    auto model = std::make_shared<LoadedModel>();
    model->name = reference;
    model->path = path;
    model->size_bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    model->loaded_at = std::chrono::system_clock::now();
    model->model = std::make_shared<inference::Model>(
        inference::ModelOptions{.path = path,
                                .n_threads = options_.n_threads,
                                .rpc_workers = options_.rpc_workers,
                                .scheduler = options_.scheduler});
    return model;
}

}  // namespace kestrune::server
