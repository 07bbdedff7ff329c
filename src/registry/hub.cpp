#include "registry/hub.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>

#include "core/json.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/download.hpp"
#include "platform/net/http.hpp"
#include "platform/os/files.hpp"

namespace kestrune::registry::hub {

namespace download = platform::download;
namespace files = platform::files;
namespace http = platform::http;

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPublicEndpoint = "https://huggingface.co";
constexpr long kNotFound = 404;
constexpr long kUnauthorized = 401;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string endpoint() {
    std::string url = environment("HF_ENDPOINT");
    if (url.empty()) {
        url = kPublicEndpoint;
    }
    return text::strip_trailing_slashes(url);
}

// The token goes only to the endpoint itself: a listing's Link header could name any host.
http::Headers auth_headers(const std::string& url) {
    const std::string token = environment("HF_TOKEN");
    if (token.empty() || http::origin(url) != http::origin(endpoint())) {
        return {};
    }
    return {{"Authorization", "Bearer " + token}};
}

std::vector<std::string_view> path_segments(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = path.find('/', start);
        segments.push_back(path.substr(start, slash - start));
        if (slash == std::string_view::npos) {
            return segments;
        }
        start = slash + 1;
    }
}

// A relative path of one file below the directory: no "..", a real name at the end, and no
// control characters (they would reach terminals and file names as they are).
bool names_a_file_inside(std::string_view relative_path) {
    const bool has_control = std::ranges::any_of(
        relative_path, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; });
    if (relative_path.starts_with('/') || has_control) {
        return false;
    }
    const std::vector<std::string_view> segments = path_segments(relative_path);
    const std::string_view last = segments.back();
    return last != "" && last != "." && std::ranges::find(segments, "..") == segments.end();
}

void check_repo_id(const std::string& repo) {
    for (std::string_view segment : path_segments(repo)) {
        if (segment.empty() || segment == "." || segment == "..") {
            throw InvalidValueError("Invalid repository id: " + repo);
        }
    }
}

void check_file_name(const std::string& filename) {
    if (!names_a_file_inside(filename)) {
        throw InvalidValueError("Refusing a file name outside the download directory: " + filename);
    }
}

std::string snapshot_dir(const std::string& repo) {
    std::string folder = "models--";
    for (const char c : repo) {
        folder += c == '/' ? std::string("--") : std::string(1, c);
    }
    return files::join(files::join(cache_root(), folder), "snapshots/main");
}

// The hub answers a missing repository with 404, or with 401 when no token is sent.
bool means_missing(const http::StatusError& error) {
    return error.status() == kNotFound ||
           (error.status() == kUnauthorized &&
            (error.body().find("RepoNotFound") != std::string::npos ||
             error.body().find("Repository not found") != std::string::npos));
}

http::Request hub_request(std::string url) {
    http::Request request;
    request.url = std::move(url);
    request.headers = auth_headers(request.url);
    return request;
}

// The target of the `rel="next"` entry of a Link header, made absolute; "" when there is none.
std::string next_page(const std::optional<std::string>& link_header) {
    if (!link_header) {
        return "";
    }
    std::string_view links = *link_header;
    while (!links.empty()) {
        const std::size_t comma = links.find(',');
        const std::string_view entry = links.substr(0, comma);
        const std::size_t open = entry.find('<');
        const std::size_t close = entry.find('>');
        const bool is_next = entry.find("rel=\"next\"") != std::string_view::npos ||
                             entry.find("rel=next") != std::string_view::npos;
        if (is_next && open != std::string_view::npos && close != std::string_view::npos &&
            open < close) {
            std::string url(entry.substr(open + 1, close - open - 1));
            return url.starts_with('/') ? endpoint() + url : url;
        }
        links = comma == std::string_view::npos ? std::string_view() : links.substr(comma + 1);
    }
    return "";
}

Json parse_listing(const std::string& body, const std::string& repo) {
    Json page = parse_answer(body, false);
    if (!page.is_array()) {
        throw InvalidValueError("Unexpected answer from the hub listing " + repo);
    }
    return page;
}

void append_files(const Json& page, std::vector<RepoFile>& found) {
    for (const Json& entry : page) {
        if (!entry.is_object() || entry.value("type", "") != "file" || !entry.contains("path") ||
            !entry["path"].is_string() || !names_a_file_inside(entry["path"].get<std::string>())) {
            continue;  // an unsafe name is left out, not fatal: the others are still usable
        }
        const Json& size = entry.contains("size") ? entry["size"] : Json();
        found.push_back(RepoFile{
            .rfilename = entry["path"].get<std::string>(),
            .size = size.is_number_integer() ? size.get<long long>() : 0,
        });
    }
}

// Streams the file into place; the hub's way of saying "missing" becomes a NotFoundError.
void download_file(const std::string& url, const std::string& target, bool resume,
                   const std::string& label, const std::string& missing_message) {
    try {
        download::fetch_to_file(url, target,
                                {.headers = auth_headers(url), .resume = resume, .label = label});
    } catch (const http::StatusError& error) {
        if (means_missing(error)) {
            throw NotFoundError(missing_message);
        }
        throw;
    }
}

}  // namespace

std::string cache_root() {
    const std::string home = environment("HF_HOME");
    return files::join(home.empty() ? files::expand_home("~/.cache/huggingface") : home, "hub");
}

std::vector<RepoFile> list_repo_tree(const std::string& repo) {
    check_repo_id(repo);
    std::vector<RepoFile> found;
    std::set<std::string> visited;
    std::string url = endpoint() + "/api/models/" + http::percent_encode(repo, true) +
                      "/tree/main?recursive=true";
    // A page pointing back at one already read would loop forever.
    while (!url.empty() && visited.insert(url).second) {
        http::Response page;
        try {
            page = http::fetch(hub_request(url));
        } catch (const http::StatusError& error) {
            if (means_missing(error)) {
                throw NotFoundError("Repository not found: " + repo);
            }
            throw;
        }
        append_files(parse_listing(page.body, repo), found);
        url = next_page(page.header("Link"));
    }
    return found;
}

std::string hf_hub_download(const std::string& repo, const std::string& filename,
                            const DownloadOptions& options) {
    check_repo_id(repo);
    check_file_name(filename);
    const std::string directory = options.local_dir ? *options.local_dir : snapshot_dir(repo);
    const std::string target = files::join(directory, filename);
    if (fs::is_regular_file(target)) {
        return target;
    }
    fs::create_directories(fs::path(target).parent_path());
    const std::string url = endpoint() + "/" + http::percent_encode(repo, true) + "/resolve/main/" +
                            http::percent_encode(filename, true);
    download_file(url, target, options.resume, filename,
                  "File not found: " + filename + " in " + repo);
    return target;
}

std::string snapshot_download(const std::string& repo) {
    for (const RepoFile& file : list_repo_tree(repo)) {
        hf_hub_download(repo, file.rfilename);
    }
    return snapshot_dir(repo);
}

std::vector<std::string> list_models(const std::string& search, const std::string& filter,
                                     int limit) {
    std::string url = endpoint() + "/api/models?search=" + http::percent_encode(search, false) +
                      "&limit=" + std::to_string(limit);
    if (!filter.empty()) {
        url += "&filter=" + http::percent_encode(filter, false);
    }
    http::Request request = hub_request(url);
    request.connect_timeout = std::chrono::seconds(5);
    request.idle_timeout = std::chrono::seconds(10);
    const Json models = parse_answer(http::fetch(request).body, false);
    std::vector<std::string> ids;
    if (!models.is_array()) {
        throw InvalidValueError("Unexpected answer from the hub model search");
    }
    for (const Json& model : models) {
        if (model.is_object() && model.contains("id") && model["id"].is_string()) {
            ids.push_back(model["id"].get<std::string>());
        }
    }
    return ids;
}

}  // namespace kestrune::registry::hub
