// Hugging Face hub client over our HTTP layer: repository listing, single-file download into a
// directory or the hub cache (through a partial file, resumable), whole-repository download.
//
// Follows the official client's conventions: HF_ENDPOINT (default https://huggingface.co),
// HF_TOKEN (bearer token, sent only to the endpoint's own scheme, host and port, never shown in
// messages), HF_HOME (cache root, default
// ~/.cache/huggingface). The cache keeps the official folder names with the revision name in
// place of the commit: HF_HOME/hub/models--{owner}--{name}/snapshots/main/{file}. Files are
// fetched by platform/download, resuming their "{target}.incomplete". File names with control
// characters or leaving the target directory are refused, and left out of listings.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrune::registry::hub {

struct RepoFile {
    std::string rfilename;  // path relative to the repository root, "/"-separated
    long long size = 0;
};

struct DownloadOptions {
    std::optional<std::string> local_dir;  // absent: the hub cache layout
    bool resume = true;                    // continue a partial file with a Range request
};

// The hub cache: HF_HOME/hub, ~/.cache/huggingface/hub when HF_HOME is not set.
std::string cache_root();

// Every file of the repository's main revision, recursively, pages followed.
// A missing repository is a NotFoundError naming it.
std::vector<RepoFile> list_repo_tree(const std::string& repo);

// Downloads one file and returns its local path (local_dir/filename, or the cache snapshot
// path); a file already in place is returned without asking the hub. A file name that would land
// outside local_dir (".." segments, absolute) is an InvalidValueError and nothing is written; a
// missing file is a NotFoundError naming it.
std::string hf_hub_download(const std::string& repo, const std::string& filename,
                            const DownloadOptions& options = {});

// Every file of the repository into the hub cache; returns the snapshot directory.
std::string snapshot_download(const std::string& repo);

// Ids of the hub's models whose name matches `search`, restricted to a tag when `filter` is
// not empty (e.g. "gguf"); at most `limit` of them.
std::vector<std::string> list_models(const std::string& search, const std::string& filter = "",
                                     int limit = 20);

}  // namespace kestrune::registry::hub
