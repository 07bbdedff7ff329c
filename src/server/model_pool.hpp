// The models a server answers with, loaded on demand, up to a number of models at once (the
// least recently used is unloaded first). The server opens only what it serves: the models it
// was started with, Kestrune's own models and the stores of other runtimes (by name or
// ollama://… and the like), and files under its models folders; a path anywhere else gets the
// same 404 as a name nothing answers to, without the disk being touched, so a client learns
// nothing of the machine's files. A reference that would download is refused unless pulling is
// allowed. Each model is shown by its short name and answers to that, its file name and the
// reference it was found by. Locating and loading happen outside the pool's lock, one load per
// reference at a time, so the models already loaded answer meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inference/model.hpp"

namespace kestrune::server {

// A model file the server has found, and the names it answers to.
struct KnownModel {
    std::string name;  // its short name, what answers show
    std::string path;
    std::vector<std::string> aliases;  // the short name, the file's name, the references

    bool answers_to(const std::string& reference) const;
};

// The name a model is shown by: a file's name without ".gguf" for a path or a download, what
// follows "scheme://" for a model of another runtime's store, a catalogue name as it is.
std::string short_name(const std::string& reference, const std::string& path);

struct LoadedModel {
    KnownModel known;  // its short name, file and the names it answers to
    std::int64_t size_bytes = 0;
    std::chrono::system_clock::time_point loaded_at;
    std::chrono::duration<double> load_time{0};
    std::shared_ptr<inference::Model> model;
    // Under the pool's lock: how long it stays once idle (negative: for ever), and when its
    // last user let go.
    std::chrono::seconds keep_alive{-1};
    std::chrono::steady_clock::time_point last_used;
    // The requests holding it (what acquire() handed out and is not yet let go).
    std::atomic<int> users = 0;
};

struct PoolOptions {
    int max_models = 1;
    bool allow_pull = false;
    std::string download_dir = ".";
    int n_threads = 0;
    std::vector<std::string> rpc_workers;
    std::vector<std::string> models_dirs;  // folders whose GGUF files may be named by path
    // How long a model stays loaded once idle, unless a request says (negative: for ever).
    std::chrono::seconds keep_alive{300};
    inference::SchedulerOptions scheduler;
};

class ModelPool {
  public:
    // Starts the thread that unloads models whose idle time has run out.
    explicit ModelPool(const PoolOptions& options);
    ~ModelPool();
    ModelPool(const ModelPool&) = delete;
    ModelPool& operator=(const ModelPool&) = delete;

    // Takes a model the server was started with: any reference the resolver takes, downloaded
    // when it must be, as the command line does.
    KnownModel serve(const std::string& reference);
    // The model file for `reference`; NotFoundError when the server serves none by that name
    // (or only a download, which pulling must allow).
    KnownModel locate(const std::string& reference);
    // The models served by name: those the server was started with and those loaded since.
    std::vector<KnownModel> known() const;
    // The loaded model for `reference`, loading it (and unloading the least recently used one
    // beyond the limit) when needed. A model in use stays alive until its last user lets go.
    // Once idle it stays `keep_alive` (absent: the pool's; 0: it goes as soon as it is idle).
    std::shared_ptr<LoadedModel> acquire(const std::string& reference,
                                         std::optional<std::chrono::seconds> keep_alive = {});
    // The loaded model of the file `reference` names; null when it is not loaded.
    std::shared_ptr<LoadedModel> find_loaded(const std::string& reference);
    // Unloads `model` now; one in use goes when its last user lets go.
    void unload(const std::shared_ptr<LoadedModel>& model);
    // When an idle model will be unloaded; absent: never.
    std::optional<std::chrono::system_clock::time_point> expires_at(const LoadedModel& model) const;
    // Ends every running generation (streams finish as complete answers); later requests fail.
    void stop();
    // Most recently used first.
    std::vector<std::shared_ptr<LoadedModel>> loaded() const;

  private:
    // Called with mutex_ held.
    std::shared_ptr<LoadedModel> find(const std::string& reference);
    std::shared_ptr<LoadedModel> use(std::shared_ptr<LoadedModel> model,
                                     std::optional<std::chrono::seconds> keep_alive);
    // Takes `model` out of the loaded ones, freeing its memory when no one else holds it.
    void drop(std::shared_ptr<LoadedModel> model);
    // The reaper's loop: unloads models idle for longer than they are kept.
    void reap();
    std::shared_ptr<LoadedModel> locate_and_load(const std::string& reference);
    std::shared_ptr<LoadedModel> load(const KnownModel& known);
    std::optional<std::string> find_path(const std::string& reference) const;
    KnownModel remember(const std::string& reference, const std::string& path);

    PoolOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable loads_done_;
    std::set<std::string> loading_;                     // references being located or loaded
    std::vector<std::shared_ptr<LoadedModel>> models_;  // most recently used first
    std::vector<KnownModel> known_;                     // in the order found
    std::condition_variable reaper_wake_;
    bool stopping_ = false;
    std::thread reaper_;  // last: starts once the rest is built
};

}  // namespace kestrune::server
