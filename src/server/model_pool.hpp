// The models a server answers with: a request's model is a reference like any other (a path,
// hf://…, ollama://…, a catalogue name), resolved once and loaded on demand, up to a number of
// models at once (the least recently used is unloaded first). A reference that would download
// is refused unless pulling is allowed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/llama/binding.hpp"
#include "server/scheduler.hpp"

namespace kestrune::server {

struct LoadedModel {
    std::string name;  // the reference it was first asked for by
    std::string path;
    std::int64_t size_bytes = 0;
    std::chrono::system_clock::time_point loaded_at;
    std::unique_ptr<platform::llama::Llama> llama;
    std::unique_ptr<Scheduler> scheduler;  // declared last: stops before the weights go
};

struct PoolOptions {
    int max_models = 1;
    bool allow_pull = false;
    std::string download_dir = ".";
    int n_threads = 0;
    std::vector<std::string> rpc_workers;
    SchedulerOptions scheduler;
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
    std::shared_ptr<LoadedModel> load(const std::string& reference, const std::string& path);
    void place_layers(platform::llama::Params& params) const;

    PoolOptions options_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<LoadedModel>> models_;  // most recently used first
};

}  // namespace kestrune::server
