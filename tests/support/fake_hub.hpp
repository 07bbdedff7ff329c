// A Hugging Face hub on loopback for tests: repository listings (recursive, paginated with
// Link headers), file downloads with Range support, and the model search, over repositories
// the test fills in.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_server.hpp"

namespace kestrune::testing {

class FakeHub {
  public:
    struct SeenRequest {
        std::string path;           // decoded path, without the query
        std::string query;          // "a=1&b=2" as parsed, in parameter order
        std::string range;          // the Range header, "" when absent
        std::string authorization;  // the Authorization header, "" when absent
    };

    FakeHub();
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    // "http://127.0.0.1:PORT", to be used as HF_ENDPOINT.
    std::string endpoint() const;

    // Adds a file (its repository is created on first use). `path` may name subfolders.
    void add_file(const std::string& repo, const std::string& path, std::string contents);
    // Entries per listing page (default: everything on one page).
    void set_page_size(std::size_t entries);
    // When false, a Range request gets the whole file with 200, as some servers do.
    void set_honour_ranges(bool honour);
    // Downloads stop after this many body bytes and the connection is dropped.
    void cut_downloads_after(std::optional<std::size_t> bytes);

    std::vector<SeenRequest> requests() const;
    // How many requests so far had a path starting with `prefix`.
    std::size_t count_requests(const std::string& prefix) const;

  private:
    using Files = std::map<std::string, std::string>;  // path → contents, sorted by path

    void record(const httplib::Request& request);
    void serve_tree(const httplib::Request& request, httplib::Response& response);
    void serve_file(const httplib::Request& request, httplib::Response& response);
    void serve_search(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex mutex_;
    std::map<std::string, Files> repos_;
    std::size_t page_size_ = 1000000;
    bool honour_ranges_ = true;
    std::optional<std::size_t> cut_after_;
    std::vector<SeenRequest> seen_;
    // Last, so it stops serving before the state its handlers use goes away.
    LoopbackServer server_;
};

}  // namespace kestrune::testing
