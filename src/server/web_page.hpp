// The chat page `kestrune serve` answers at /: files built from web/ with npm tools at build
// time and embedded in the program. Each is sent gzip-compressed to a client that accepts it,
// with an ETag (a matching If-None-Match gets 304), and with headers that let the page run its
// own script only and never inside another site's frame.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/http_server.hpp"

namespace kestrune::server::web_page {

struct Asset {
    std::string_view path;
    std::string_view content_type;
    std::string_view tag;  // a hash of the content
    std::span<const unsigned char> identity;
    std::span<const unsigned char> gzip;
};

// The embedded files; none in a program built without the page's tools.
std::span<const Asset> assets();

// The paths the page answers at; "/" among them, built or not.
std::vector<std::string> paths();

// The answer to a GET of one of paths().
platform::http_server::Response answer(const platform::http_server::Request& request);

// Whether an Accept-Encoding header value accepts gzip (listed, and not with q=0).
bool accepts_gzip(std::string_view accept_encoding);

// Whether an If-None-Match header value names `etag` (quoted, as sent) or is "*".
bool names_etag(std::string_view if_none_match, std::string_view etag);

}  // namespace kestrune::server::web_page
