#include "server/model_pool.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "kestrune/engine/resolver.hpp"

namespace kestrune::server {

namespace {

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
    if (auto held = downloader::resolve_local_model(reference); held && !held->empty()) {
        return *held;
    }
    if (auto found = resolver::_search_local(reference)) {
        return *found;
    }
    refuse_download(reference);
}

}  // namespace

std::string ModelPool::locate(const std::string& reference) const {
    if (reference.empty()) {
        throw InvalidValueError("no model named");
    }
    try {
        return options_.allow_pull ? resolver::resolve_model(reference, options_.download_dir)
                                   : locate_without_download(reference);
    } catch (const NotFoundError& error) {
        throw NotFoundError(first_line(error.what()));
    }
}

std::shared_ptr<LoadedModel> ModelPool::acquire(const std::string& reference) {
    std::lock_guard lock(mutex_);
    auto by_name = std::ranges::find(models_, reference, &LoadedModel::name);
    if (by_name == models_.end()) {
        const std::string path = locate(reference);
        by_name = std::ranges::find(models_, path, &LoadedModel::path);
        if (by_name == models_.end()) {
            models_.insert(models_.begin(), load(reference, path));
            by_name = models_.begin();
        }
    }
    std::rotate(models_.begin(), by_name, by_name + 1);
    while (models_.size() > static_cast<std::size_t>(std::max(options_.max_models, 1))) {
        models_.pop_back();
    }
    return models_.front();
}

std::vector<std::shared_ptr<LoadedModel>> ModelPool::loaded() const {
    std::lock_guard lock(mutex_);
    return models_;
}

void ModelPool::stop() {
    for (const auto& model : loaded()) {
        model->scheduler->stop();
    }
}

std::shared_ptr<LoadedModel> ModelPool::load(const std::string& reference,
                                             const std::string& path) {
    auto model = std::make_shared<LoadedModel>();
    model->name = reference;
    model->path = path;
    model->size_bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    model->loaded_at = std::chrono::system_clock::now();
    // The Llama's own context only serves tokenizing and chat formatting: it stays small.
    model->llama = platform::llama::load({.model_path = path,
                                          .n_ctx = 64,
                                          .n_threads = options_.n_threads,
                                          .n_batch = 64,
                                          .verbose = false});
    model->scheduler = std::make_unique<Scheduler>(*model->llama, options_.scheduler);
    return model;
}

}  // namespace kestrune::server
