#include "server/model_pool.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/model_info.hpp"
#include "kestrune/engine/resolver.hpp"
#include "kestrune/engine/workers.hpp"

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
    // A model that lost a worker answers nothing trustworthy again. Loaded anew, it asks its
    // workers first: one started again serves it, one still gone is refused by name.
    std::erase_if(models_, [](const std::shared_ptr<LoadedModel>& model) {
        return model->llama->worker_failure().has_value();
    });
    auto by_name = std::ranges::find(models_, reference, &LoadedModel::name);
    if (by_name == models_.end()) {
        const std::string path = locate(reference);
        by_name = std::ranges::find(models_, path, &LoadedModel::path);
        if (by_name == models_.end()) {
            // A worker serves one client at a time: the model holding the workers goes first.
            if (!options_.rpc_workers.empty()) {
                models_.clear();
            }
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

// The planner's GPU layers for every slot's context, spread over the workers when there are
// any (each asked for its memory first: one that does not answer is refused by name).
void ModelPool::place_layers(platform::llama::Params& params) const {
    const auto spec = ggufmeta::gguf_to_model_spec(params.model_path);
    const int context = options_.scheduler.n_ctx * std::max(options_.scheduler.parallel, 1);
    auto plan = engine::plan_inference(spec, engine::detect_hardware(), context);
    if (!options_.rpc_workers.empty()) {
        plan = engine::plan_across_workers(plan, spec, options_.rpc_workers);
        for (const auto& worker : plan.workers) {
            params.workers.push_back({.endpoint = worker.endpoint, .n_layers = worker.n_layers});
        }
    }
    params.n_gpu_layers = plan.n_gpu_layers;
}

std::shared_ptr<LoadedModel> ModelPool::load(const std::string& reference,
                                             const std::string& path) {
    auto model = std::make_shared<LoadedModel>();
    model->name = reference;
    model->path = path;
    model->size_bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    model->loaded_at = std::chrono::system_clock::now();
    // The Llama's own context only serves tokenizing and chat formatting: it stays small.
    platform::llama::Params params{.model_path = path,
                                   .n_ctx = 64,
                                   .n_threads = options_.n_threads,
                                   .n_batch = 64,
                                   .verbose = false};
    place_layers(params);
    model->llama = platform::llama::load(params);
    model->scheduler = std::make_unique<Scheduler>(*model->llama, options_.scheduler);
    return model;
}

}  // namespace kestrune::server
