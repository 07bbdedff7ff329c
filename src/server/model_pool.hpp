// The models a server answers with: a request's model is a reference like any other (a path,
// hf://…, ollama://…, a catalogue name), resolved once and loaded on demand, up to a number of
// models at once (the least recently used is unloaded first). A reference that would download
// is refused unless pulling is allowed. Locating and loading happen outside the pool's lock, one
// load per reference at a time, so the models already loaded answer meanwhile.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "inference/model.hpp"

namespace kestrune::server {

struct LoadedModel {
    std::string name;  // the reference it was first asked for by
    std::string path;
    std::int64_t size_bytes = 0;
    std::chrono::system_clock::time_point loaded_at;
    std::shared_ptr<inference::Model> model;
};

struct PoolOptions {
    int max_models = 1;
    bool allow_pull = false;
    std::string download_dir = ".";
    int n_threads = 0;
    std::vector<std::string> rpc_workers;
    inference::SchedulerOptions scheduler;
};

class ModelPool {
  public:
    explicit ModelPool(const PoolOptions& options) : options_(options) {}

    // The path of a model file for `reference`; NotFoundError when there is none here (or only
    // a download, which pulling must allow).
    std::string locate(const std::string& reference) const;
    // The loaded model for `reference`, loading it (and unloading the least recently used one
    // beyond the limit) when needed. A model in use stays alive until its last user lets go.
    std::shared_ptr<LoadedModel> acquire(const std::string& reference);
    // Ends every running generation (streams finish as complete answers); later requests fail.
    void stop();
    // Most recently used first.
    std::vector<std::shared_ptr<LoadedModel>> loaded() const;

  private:
    // Called with mutex_ held.
    std::shared_ptr<LoadedModel> find(const std::string& reference);
    std::shared_ptr<LoadedModel> use(std::shared_ptr<LoadedModel> model);
    std::shared_ptr<LoadedModel> locate_and_load(const std::string& reference);
    std::shared_ptr<LoadedModel> load(const std::string& reference, const std::string& path);

    PoolOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable loads_done_;
    std::set<std::string> loading_;                     // references being located or loaded
    std::vector<std::shared_ptr<LoadedModel>> models_;  // most recently used first
};

}  // namespace kestrune::server
