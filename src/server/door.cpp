#include "server/door.hpp"

#include <algorithm>
#include <cctype>

#include "core/text.hpp"

namespace kestrune::server::door {

namespace {

// Compares in time that depends on the lengths only, so a guess learns nothing from timing.
bool same_secret(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    }
    return difference == 0;
}

bool is_loopback(std::string_view host) {
    // 127.x.y.z as an address, not a name that merely begins so.
    const bool ipv4_loopback = host.starts_with("127.") && std::ranges::all_of(host, [](char c) {
                                   return c == '.' || (c >= '0' && c <= '9');
                               });
    return host == "localhost" || host == "::1" || host == "[::1]" || ipv4_loopback;
}

// The name of a Host header without its port ("[::1]:8080" is "[::1]").
std::string_view host_name(std::string_view host) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string_view::npos || host.find(']', colon) != std::string_view::npos) {
        return host;
    }
    return host.substr(0, colon);
}

// Pages of this machine, on any port: a front end under development on localhost:5173.
bool local_origin(std::string_view origin) {
    for (const std::string_view local : {"http://localhost", "http://127.0.0.1", "http://[::1]"}) {
        if (origin.starts_with(local)) {
            const std::string_view port = origin.substr(local.size());
            if (port.empty() || (port.size() > 1 && port[0] == ':' &&
                                 std::ranges::all_of(port.substr(1), [](char c) {
                                     return c >= '0' && c <= '9';
                                 }))) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool authorised(const http::Request& request, const std::string& api_key) {
    if (api_key.empty()) {
        return true;
    }
    // Anthropic's clients send the key as x-api-key; the others as a bearer token, the scheme
    // named in any case.
    if (const auto key = request.header("x-api-key")) {
        return same_secret(*key, api_key);
    }
    const std::string given = request.header("Authorization").value_or("");
    constexpr std::string_view kBearer = "bearer ";
    std::string scheme = given.substr(0, kBearer.size());
    std::ranges::transform(scheme, scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    return scheme == kBearer && same_secret(given.substr(kBearer.size()), api_key);
}

bool host_allowed(const http::Request& request, const std::string& served,
                  const std::vector<std::string>& allowed) {
    if (!is_loopback(served)) {
        return true;
    }
    const std::optional<std::string> header = request.header("Host");
    if (!header) {
        return true;  // HTTP/1.0: no name to re-resolve
    }
    const std::string_view name = host_name(*header);
    return name == served || is_loopback(name) || std::ranges::find(allowed, name) != allowed.end();
}

bool json_body(const http::Request& request) {
    if (request.method != "POST") {
        return true;
    }
    std::string type = request.header("Content-Type").value_or("");
    type = type.substr(0, type.find(';'));
    std::erase_if(type, [](char c) { return c == ' ' || c == '\t'; });
    std::ranges::transform(type, type.begin(), [](unsigned char c) { return std::tolower(c); });
    return type == "application/json";
}

std::vector<std::pair<std::string, std::string>> cors_headers(
    const http::Request& request, const std::vector<std::string>& allowed) {
    const std::optional<std::string> origin = request.header("Origin");
    if (!origin) {
        return {};
    }
    const bool any = std::ranges::find(allowed, "*") != allowed.end();
    if (!any && !local_origin(*origin) && std::ranges::find(allowed, *origin) == allowed.end()) {
        return {};
    }
    std::vector<std::pair<std::string, std::string>> headers = {
        {"Access-Control-Allow-Origin", any ? "*" : *origin}, {"Vary", "Origin"}};
    if (request.method == "OPTIONS") {
        headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, DELETE, OPTIONS");
        headers.emplace_back("Access-Control-Allow-Headers",
                             request.header("Access-Control-Request-Headers")
                                 .value_or("Authorization, Content-Type"));
        headers.emplace_back("Access-Control-Max-Age", "600");
    }
    return headers;
}

std::string loggable(std::string_view text) {
    constexpr std::size_t kMost = 200;
    std::string shown = text::escape_controls(text.substr(0, kMost));
    if (text.size() > kMost) {
        shown += "...";
    }
    return shown;
}

}  // namespace kestrune::server::door
