// The chat page as the server sends it: the embedded files byte for byte, gzip-compressed only
// when asked (and never twice), ETags answered with 304, the headers that keep other scripts
// and frames out, no key needed for the page on a server that wants one, and none of it with
// the page turned off.
#include "server/web_page.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <string_view>

#include "kestrune/server/server.hpp"
#include "support/temp_home.hpp"

namespace {

using kestrune::server::Server;
using kestrune::server::ServerOptions;
namespace web_page = kestrune::server::web_page;

TEST(WebPageHeaders, AcceptEncodingAndIfNoneMatchAreReadAsListed) {
    struct Case {
        std::string_view header;
        bool gzip;
    };
    for (const Case& c : {Case{"gzip", true}, Case{"gzip, deflate, br, zstd", true},
                          Case{"br;q=1.0, GZIP;q=0.5", true}, Case{"x-gzip", true},
                          Case{"gzip;q=0", false}, Case{"br, gzip ; q=0.0", false},
                          Case{"deflate, br", false}, Case{"", false}, Case{"gzipped", false}}) {
        EXPECT_EQ(web_page::accepts_gzip(c.header), c.gzip) << c.header;
    }
    struct Tag {
        std::string_view header;
        bool matches;
    };
    for (const Tag& t :
         {Tag{"\"abc\"", true}, Tag{"\"x\", \"abc\"", true}, Tag{"W/\"abc\"", true}, Tag{"*", true},
          Tag{"\"abc-gzip\"", false}, Tag{"abc", false}, Tag{"", false}}) {
        EXPECT_EQ(web_page::names_etag(t.header, "\"abc\""), t.matches) << t.header;
    }
}

class WebPage : public ::testing::Test {
  protected:
    void start(ServerOptions options) {
        options.port = 0;
        options.quiet = true;
        server_ = std::make_unique<Server>(options);
        server_->start();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
        client_->set_decompress(false);  // the bytes as sent
    }
    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        return client_->Get(path, headers);
    }

    kestrune::testing::TempHome home_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<httplib::Client> client_;
};

std::string bytes_of(std::span<const unsigned char> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TEST_F(WebPage, EachFileIsSentAsBuiltGzippedWhenAskedWithItsTagAndHeaders) {
    if (web_page::assets().empty()) {
        GTEST_SKIP() << "built without the chat page (its npm tools were missing)";
    }
    start({.api_key = "secret"});
    // The key guards the API, not the page, which asks for the key when the API wants it.
    EXPECT_EQ(get("/v1/models")->status, 401);
    for (const web_page::Asset& asset : web_page::assets()) {
        SCOPED_TRACE(std::string(asset.path));
        const auto plain = get(std::string(asset.path), {{"Accept-Encoding", "identity"}});
        ASSERT_TRUE(plain);
        EXPECT_EQ(plain->status, 200);
        // Compared whole, reported by size: the bodies are too long to print.
        EXPECT_TRUE(plain->body == bytes_of(asset.identity)) << plain->body.size();
        EXPECT_EQ(plain->get_header_value("Content-Type"), asset.content_type);
        EXPECT_FALSE(plain->has_header("Content-Encoding"));
        EXPECT_EQ(plain->get_header_value("X-Content-Type-Options"), "nosniff");
        const std::string policy = plain->get_header_value("Content-Security-Policy");
        EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
        EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
        EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;

        // Compressed once, at build time: the embedded gzip bytes exactly.
        const auto gzipped = get(std::string(asset.path), {{"Accept-Encoding", "gzip, br"}});
        ASSERT_TRUE(gzipped);
        EXPECT_EQ(gzipped->get_header_value("Content-Encoding"), "gzip");
        EXPECT_TRUE(gzipped->body == bytes_of(asset.gzip))
            << gzipped->body.size() << " bytes sent, " << asset.gzip.size() << " embedded";
        EXPECT_EQ(gzipped->get_header_value("Vary"), "Accept-Encoding");

        const std::string tag = gzipped->get_header_value("ETag");
        EXPECT_NE(tag, plain->get_header_value("ETag"));
        const auto again =
            get(std::string(asset.path), {{"Accept-Encoding", "gzip"}, {"If-None-Match", tag}});
        EXPECT_EQ(again->status, 304);
        EXPECT_TRUE(again->body.empty());
        const auto stale = get(std::string(asset.path),
                               {{"Accept-Encoding", "gzip"}, {"If-None-Match", "\"old\""}});
        EXPECT_EQ(stale->status, 200);
    }
}

TEST(WebPageFiles, WeighLessThanTheirBudgetAndCompress) {
    std::size_t weight = 0;
    for (const web_page::Asset& asset : web_page::assets()) {
        weight += asset.identity.size();
        EXPECT_LT(asset.gzip.size(), asset.identity.size()) << asset.path;
    }
    EXPECT_LT(weight, 1'200'000u);
}

TEST_F(WebPage, TurnedOffOrNotBuiltTheRootIsNotAPage) {
    start({.webui = false});
    EXPECT_EQ(get("/")->status, 404);
    EXPECT_EQ(get("/assets/app.js")->status, 404);
    if (web_page::assets().empty()) {
        start({});
        const auto root = get("/");
        EXPECT_EQ(root->status, 404);
        EXPECT_NE(root->body.find("scripts/setup"), std::string::npos) << root->body;
    }
}

}  // namespace
