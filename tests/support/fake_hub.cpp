#include "support/fake_hub.hpp"

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

#include "core/json.hpp"

namespace kestrune::testing {

namespace {

std::string lower_case(std::string text) {
    std::ranges::transform(text, text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The body sent chunked with the status given, which keeps httplib from applying the request's
// Range to it on its own. A `cut` body ends without its last chunk: the connection drops.
void send_chunked(httplib::Response& response, int status, std::shared_ptr<const std::string> body,
                  bool cut, const std::string& type) {
    response.status = status;
    response.set_chunked_content_provider(type, [body, cut](std::size_t, httplib::DataSink& sink) {
        sink.write(body->data(), body->size());
        if (!cut) {
            sink.done();
        }
        return !cut;
    });
}

void reply(httplib::Response& response, int status, std::string body) {
    send_chunked(response, status, std::make_shared<const std::string>(std::move(body)), false,
                 "application/json");
}

void reply_not_found(httplib::Response& response, const std::string& what) {
    reply(response, 404, Json{{"error", what}}.dump());
}

// The first offset of "bytes=N-"; nullopt for anything else.
std::optional<std::size_t> range_start(const std::string& header) {
    if (!header.starts_with("bytes=") || !header.ends_with("-")) {
        return std::nullopt;
    }
    try {
        return std::stoull(header.substr(6, header.size() - 7));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Every directory and file of the repository below `folder`, sorted by path; only the direct
// children unless `recursive`.
Json tree_entries(const std::map<std::string, std::string>& files, const std::string& folder,
                  bool recursive) {
    std::map<std::string, Json> entries;
    const std::string prefix = folder.empty() ? "" : folder + "/";
    for (const auto& [path, contents] : files) {
        if (!path.starts_with(prefix)) {
            continue;
        }
        const std::string rest = path.substr(prefix.size());
        std::size_t slash = rest.find('/');
        while (slash != std::string::npos) {
            const std::string directory = prefix + rest.substr(0, slash);
            entries[directory] =
                Json{{"type", "directory"}, {"oid", "0"}, {"size", 0}, {"path", directory}};
            if (!recursive) {
                break;
            }
            slash = rest.find('/', slash + 1);
        }
        if (recursive || rest.find('/') == std::string::npos) {
            entries[path] =
                Json{{"type", "file"}, {"oid", "0"}, {"size", contents.size()}, {"path", path}};
        }
    }
    Json listing = Json::array();
    for (auto& [path, entry] : entries) {
        listing.push_back(std::move(entry));
    }
    return listing;
}

}  // namespace

FakeHub::FakeHub()
    : server_([this](httplib::Server& server) {
          server.Get(R"(/api/models/([^/]+/[^/]+)/tree/main(/.*)?)",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         record(request);
                         serve_tree(request, response);
                     });
          server.Get(R"(/([^/]+/[^/]+)/resolve/main/(.+))",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         record(request);
                         serve_file(request, response);
                     });
          server.Get("/api/models",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         record(request);
                         serve_search(request, response);
                     });
      }) {}

std::string FakeHub::endpoint() const {
    return server_.base_url();
}

void FakeHub::add_file(const std::string& repo, const std::string& path, std::string contents) {
    const std::lock_guard lock(mutex_);
    repos_[repo][path] = std::move(contents);
}

void FakeHub::set_page_size(std::size_t entries) {
    const std::lock_guard lock(mutex_);
    page_size_ = entries;
}

void FakeHub::set_honour_ranges(bool honour) {
    const std::lock_guard lock(mutex_);
    honour_ranges_ = honour;
}

void FakeHub::cut_downloads_after(std::optional<std::size_t> bytes) {
    const std::lock_guard lock(mutex_);
    cut_after_ = bytes;
}

std::vector<FakeHub::SeenRequest> FakeHub::requests() const {
    const std::lock_guard lock(mutex_);
    return seen_;
}

std::size_t FakeHub::count_requests(const std::string& prefix) const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::ranges::count_if(
        seen_, [&](const SeenRequest& seen) { return seen.path.starts_with(prefix); }));
}

void FakeHub::record(const httplib::Request& request) {
    std::string query;
    for (const auto& [key, value] : request.params) {
        query += (query.empty() ? "" : "&") + key + "=" + value;
    }
    const std::lock_guard lock(mutex_);
    seen_.push_back(SeenRequest{
        .path = request.path,
        .query = query,
        .range = request.get_header_value("Range"),
        .authorization = request.get_header_value("Authorization"),
    });
}

void FakeHub::serve_tree(const httplib::Request& request, httplib::Response& response) {
    const std::string repo = request.matches[1];
    std::string folder = request.matches[2];
    if (folder.starts_with("/")) {
        folder.erase(0, 1);
    }
    const bool recursive = request.get_param_value("recursive") == "true" ||
                           request.get_param_value("recursive") == "1";
    const std::size_t cursor =
        request.has_param("cursor") ? std::stoull(request.get_param_value("cursor")) : 0;

    const std::lock_guard lock(mutex_);
    const auto found = repos_.find(repo);
    if (found == repos_.end()) {
        reply_not_found(response, "Repository not found");
        return;
    }
    const Json all = tree_entries(found->second, folder, recursive);
    Json page = Json::array();
    for (std::size_t index = cursor; index < all.size() && index < cursor + page_size_; ++index) {
        page.push_back(all[index]);
    }
    if (cursor + page_size_ < all.size()) {
        response.set_header("Link", "<" + endpoint() + "/api/models/" + repo + "/tree/main" +
                                        (folder.empty() ? "" : "/" + folder) +
                                        "?recursive=" + (recursive ? "true" : "false") +
                                        "&cursor=" + std::to_string(cursor + page_size_) +
                                        ">; rel=\"next\"");
    }
    reply(response, 200, page.dump());
}

void FakeHub::serve_file(const httplib::Request& request, httplib::Response& response) {
    const std::string repo = request.matches[1];
    const std::string path = request.matches[2];
    const std::lock_guard lock(mutex_);
    const auto found = repos_.find(repo);
    if (found == repos_.end() || !found->second.contains(path)) {
        reply_not_found(response, "Entry not found");
        return;
    }
    const std::string& contents = found->second.at(path);
    const std::optional<std::size_t> start =
        honour_ranges_ ? range_start(request.get_header_value("Range")) : std::nullopt;
    if (start && *start >= contents.size()) {
        response.set_header("Content-Range", "bytes */" + std::to_string(contents.size()));
        reply(response, 416, "");
        return;
    }
    const std::size_t offset = start.value_or(0);
    const std::size_t length =
        std::min(contents.size() - offset, cut_after_.value_or(contents.size()));
    auto body = std::make_shared<const std::string>(contents.substr(offset, length));
    const bool cut = length < contents.size() - offset;
    const std::size_t announced = contents.size() - offset;

    if (start) {
        response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                 std::to_string(contents.size() - 1) + "/" +
                                                 std::to_string(contents.size()));
        send_chunked(response, 206, body, cut, "application/octet-stream");
        return;
    }
    if (!request.get_header_value("Range").empty()) {
        // A server that ignores ranges answers with the whole file.
        send_chunked(response, 200, body, cut, "application/octet-stream");
        return;
    }
    response.set_content_provider(
        announced, "application/octet-stream",
        [body](std::size_t offset_in_body, std::size_t, httplib::DataSink& sink) {
            if (offset_in_body >= body->size()) {
                return false;  // the announced length is never reached: the connection drops
            }
            sink.write(body->data() + offset_in_body, body->size() - offset_in_body);
            return true;
        });
}

void FakeHub::serve_search(const httplib::Request& request, httplib::Response& response) {
    const std::string wanted = lower_case(request.get_param_value("search"));
    const bool gguf_only = request.get_param_value("filter") == "gguf";
    const std::lock_guard lock(mutex_);
    Json models = Json::array();
    for (const auto& [repo, files] : repos_) {
        const bool has_gguf = std::ranges::any_of(
            files, [](const auto& file) { return file.first.ends_with(".gguf"); });
        if (lower_case(repo).find(wanted) != std::string::npos && (has_gguf || !gguf_only)) {
            models.push_back(Json{{"_id", repo}, {"id", repo}, {"modelId", repo}});
        }
    }
    reply(response, 200, models.dump());
}

}  // namespace kestrune::testing
