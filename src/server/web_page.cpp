#include "server/web_page.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>

#include "core/text.hpp"

namespace kestrune::server::web_page {

namespace {

// Written at build time: by web/build.mjs, or as an empty table where its tools are missing.
#include "web_page_assets.inc"

namespace http = platform::http_server;

// The page's own script, styles and icon, its calls to this server, nothing else: model output
// that slipped past the sanitiser could neither run nor fetch from elsewhere.
constexpr std::string_view kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::vector<std::pair<std::string, std::string>> page_headers() {
    return {{"Content-Security-Policy", std::string(kPolicy)},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"},
            // Asked again each time, answered 304 while the program is the same.
            {"Cache-Control", "no-cache"},
            {"Vary", "Accept-Encoding"}};
}

// The parts of a comma-separated header value, trimmed.
std::vector<std::string_view> list_items(std::string_view value) {
    std::vector<std::string_view> items;
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        items.push_back(text::trim_whitespace(value.substr(0, comma)));
        value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
    }
    return items;
}

bool same_without_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// The weight an Accept-Encoding item gives its coding ("gzip;q=0.5": 0.5; none given: 1).
double quality(std::string_view parameters) {
    const std::size_t q = parameters.find("q=");
    if (q == std::string_view::npos) {
        return 1.0;
    }
    const std::string_view number = text::trim_whitespace(parameters.substr(q + 2));
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    return error == std::errc{} ? value : 0.0;
}

std::string bytes_of(std::span<const unsigned char> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

const Asset* find_asset(std::string_view path) {
    const auto found = std::ranges::find(assets(), path, &Asset::path);
    return found == assets().end() ? nullptr : &*found;
}

http::Response not_built() {
    http::Response response{
        .status = 404,
        .content_type = "text/plain; charset=utf-8",
        .body =
            "This kestrune was built without its chat page: install npm, run scripts/setup, "
            "then build again.\n",
        .stream = {},
        .headers = page_headers()};
    return response;
}

}  // namespace

std::span<const Asset> assets() {
    return kAssets;
}

std::vector<std::string> paths() {
    std::vector<std::string> all{"/"};
    for (const Asset& asset : assets()) {
        if (asset.path != "/") {
            all.emplace_back(asset.path);
        }
    }
    return all;
}

bool accepts_gzip(std::string_view accept_encoding) {
    return std::ranges::any_of(list_items(accept_encoding), [](std::string_view item) {
        const std::size_t semicolon = item.find(';');
        const std::string_view coding = text::trim_whitespace(item.substr(0, semicolon));
        const std::string_view parameters =
            semicolon == std::string_view::npos ? std::string_view{} : item.substr(semicolon + 1);
        return (same_without_case(coding, "gzip") || same_without_case(coding, "x-gzip")) &&
               quality(parameters) > 0.0;
    });
}

bool names_etag(std::string_view if_none_match, std::string_view etag) {
    return std::ranges::any_of(list_items(if_none_match), [etag](std::string_view item) {
        if (item.starts_with("W/")) {
            item.remove_prefix(2);
        }
        return item == "*" || item == etag;
    });
}

http::Response answer(const http::Request& request) {
    const Asset* asset = find_asset(request.path);
    if (asset == nullptr) {
        return not_built();
    }
    const bool gzip = accepts_gzip(request.header("Accept-Encoding").value_or(""));
    // Each encoding is its own representation, with its own tag.
    const std::string etag = "\"" + std::string(asset->tag) + (gzip ? "-gzip" : "") + "\"";
    http::Response response{.status = 200,
                            .content_type = std::string(asset->content_type),
                            .body = {},
                            .stream = {},
                            .headers = page_headers()};
    response.headers.emplace_back("ETag", etag);
    if (names_etag(request.header("If-None-Match").value_or(""), etag)) {
        response.status = 304;
        return response;
    }
    if (gzip) {
        response.headers.emplace_back("Content-Encoding", "gzip");
        response.body = bytes_of(asset->gzip);
    } else {
        response.body = bytes_of(asset->identity);
    }
    return response;
}

}  // namespace kestrune::server::web_page
