#include "platform/hub.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>

#include "core/json.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/files.hpp"
#include "platform/http.hpp"
#include "platform/progress.hpp"

namespace kestrune::platform::hub {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPublicEndpoint = "https://huggingface.co";
constexpr long kNotFound = 404;
constexpr long kUnauthorized = 401;
constexpr long kPartialContent = 206;
constexpr long kRangeNotSatisfiable = 416;

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

http::Headers auth_headers() {
    const std::string token = environment("HF_TOKEN");
    if (token.empty()) {
        return {};
    }
    return {{"Authorization", "Bearer " + token}};
}

std::string cache_root() {
    const std::string home = environment("HF_HOME");
    return files::join(home.empty() ? files::expand_home("~/.cache/huggingface") : home, "hub");
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

// A relative path of one file below the directory: no "..", and a real name at the end.
bool names_a_file_inside(std::string_view relative_path) {
    if (relative_path.starts_with('/') || relative_path.find('\0') != std::string_view::npos) {
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
    request.headers = auth_headers();
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
    Json page = Json::parse(body, nullptr, false);
    if (!page.is_array()) {
        throw InvalidValueError("Unexpected answer from the hub listing " + repo);
    }
    return page;
}

void append_files(const Json& page, std::vector<RepoFile>& found) {
    for (const Json& entry : page) {
        if (!entry.is_object() || entry.value("type", "") != "file" || !entry.contains("path") ||
            !entry["path"].is_string()) {
            continue;
        }
        const Json& size = entry.contains("size") ? entry["size"] : Json();
        found.push_back(RepoFile{
            .rfilename = entry["path"].get<std::string>(),
            .size = size.is_number_integer() ? size.get<long long>() : 0,
        });
    }
}

std::optional<long long> header_number(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long long number = std::strtoll(text->c_str(), &end, 10);
    return end == text->c_str() ? std::nullopt : std::optional<long long>(number);
}

// "bytes START-END/TOTAL": START and TOTAL ("*" gives no total).
struct ContentRange {
    long long start = -1;
    std::optional<long long> total;
};

ContentRange parse_content_range(const std::optional<std::string>& header) {
    ContentRange range;
    if (!header || !header->starts_with("bytes ")) {
        return range;
    }
    range.start = header_number(header->substr(6)).value_or(-1);
    if (const std::size_t slash = header->find('/'); slash != std::string::npos) {
        range.total = header_number(header->substr(slash + 1));
    }
    return range;
}

// Size the finished file must have, when the answer says.
std::optional<long long> expected_size(const http::ResponseStream& answer, long long offset) {
    if (answer.status() == kPartialContent) {
        if (auto total = parse_content_range(answer.header("Content-Range")).total) {
            return total;
        }
        if (auto length = header_number(answer.header("Content-Length"))) {
            return offset + *length;
        }
        return std::nullopt;
    }
    return header_number(answer.header("Content-Length"));
}

long long file_size(const std::string& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<long long>(size);
}

// Opens the file's answer, continuing from `offset` when it is above 0. An answer that
// starts elsewhere than asked (a server without ranges, or a stale partial file) comes back
// with offset 0 so the caller starts over.
http::ResponseStream open_download(const std::string& url, long long& offset,
                                   const std::string& missing_message) {
    http::Request request = hub_request(url);
    if (offset > 0) {
        request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");
    }
    try {
        http::ResponseStream answer = http::ResponseStream::open(request);
        const bool continues = answer.status() == kPartialContent &&
                               parse_content_range(answer.header("Content-Range")).start == offset;
        if (offset > 0 && !continues) {
            offset = 0;
            if (answer.status() == kPartialContent) {
                return open_download(url, offset, missing_message);
            }
        }
        return answer;
    } catch (const http::StatusError& error) {
        if (means_missing(error)) {
            throw NotFoundError(missing_message);
        }
        if (error.status() == kRangeNotSatisfiable && offset > 0) {
            offset = 0;
            return open_download(url, offset, missing_message);
        }
        throw;
    }
}

// Streams the answer into `partial` and renames it to `target` once every byte is there.
void download_file(const std::string& url, const std::string& target, bool resume,
                   const std::string& label, const std::string& missing_message) {
    const std::string partial = target + ".incomplete";
    long long offset = resume ? file_size(partial) : 0;
    http::ResponseStream answer = open_download(url, offset, missing_message);
    const std::optional<long long> expected = expected_size(answer, offset);

    std::ofstream out(partial, std::ios::binary | (offset > 0 ? std::ios::app : std::ios::trunc));
    if (!out) {
        throw RuntimeFailure("Cannot write " + partial);
    }
    long long written = offset;
    progress::ProgressBar progress(label, expected, offset);
    while (std::optional<std::string> chunk = answer.next_chunk()) {
        out.write(chunk->data(), static_cast<std::streamsize>(chunk->size()));
        if (!out) {
            throw RuntimeFailure("Cannot write " + partial);
        }
        written += static_cast<long long>(chunk->size());
        progress.update(written);
    }
    out.close();
    progress.finish(written);
    if (!out) {
        throw RuntimeFailure("Cannot write " + partial);
    }
    if (expected && written != *expected) {
        throw RuntimeFailure("Download of " + label + " ended after " + std::to_string(written) +
                             " of " + std::to_string(*expected) + " bytes");
    }
    fs::rename(partial, target);
}

}  // namespace

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
    const Json models = Json::parse(http::fetch(request).body, nullptr, false);
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

}  // namespace kestrune::platform::hub
