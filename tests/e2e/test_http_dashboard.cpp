// The page and its assets: served without a key from the compiled table, /api unchanged.
#include <string>

#include "http_client.h"

namespace
{

using http_dashboard = http_relay_fixture;

// No row sends a key. Dot segments are folded by the HTTP library before the lookup, and
// only whole table names match, so nothing outside web/ (nor an /api answer) is reachable
// through /ui/. A cached copy is revalidated by its ETag.
TEST_F(http_dashboard, page_and_assets_without_key_and_everything_else_keyed)
{
    const std::string html = "text/html; charset=utf-8", js = "text/javascript; charset=utf-8";
    const std::string text = "text/plain; charset=utf-8", json = "application/json";
    const std::string immutable = "public, max-age=31536000, immutable";
    const std::string uplot = "vendor/uplot-1.6.32/";
    const struct {
        std::string method, path;
        int status;
        std::string content_type, cache_control, file; // file under web/ the body must be
    } cases[] = {
        {"GET", "/", 200, html, "no-cache", "index.html"},
        {"GET", "/ui/index.html", 200, html, "no-cache", "index.html"},
        {"GET", "/ui/style.css", 200, "text/css; charset=utf-8", "no-cache", "style.css"},
        {"GET", "/ui/" + uplot + "uPlot.iife.min.js", 200, js, immutable,
         uplot + "uPlot.iife.min.js"},
        {"GET", "/ui/" + uplot + "LICENSE", 200, text, immutable, uplot + "LICENSE"},
        {"GET", "/ui/vendor/../app.js", 200, js, "no-cache", "app.js"},
        {"GET", "/ui/nothing.js", 404, text, "no-store", ""},
        {"GET", "/ui/vendor", 404, text, "no-store", ""},
        {"GET", "/ui/app.js/", 404, text, "no-store", ""},
        {"GET", "/ui/../api/routes", 555, json, "", ""},
        {"GET", "/ui/..%2f..%2f..%2fetc/passwd", 555, json, "", ""},
        {"GET", "/index.html", 555, json, "", ""},
        {"GET", "/ui", 555, json, "", ""},
        {"POST", "/", 555, json, "", ""},
        {"DELETE", "/ui/app.js", 555, json, "", ""},
    };
    for (const auto &c : cases) {
        http_response_t response = http_request(relay.http_port, c.method, c.path);
        SCOPED_TRACE(c.method + " " + c.path);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.content_type, c.content_type);
        EXPECT_EQ(response.headers["cache-control"], c.cache_control);
        if (c.status == 555)
            EXPECT_EQ(response.body, "API key does not exist");
        else
            EXPECT_EQ(response.headers["content-security-policy"], "default-src 'self'");
        if (!c.file.empty())
            EXPECT_EQ(response.body, read_text_file(MIREVO_SOURCE_DIR "/web/" + c.file));
    }

    http_response_t first = http_request(relay.http_port, "GET", "/ui/app.js");
    ASSERT_EQ(first.headers["etag"].size(), 22u);
    for (const std::string &tag : {first.headers["etag"], std::string("\"0000\"")}) {
        http_response_t again = http_request(relay.http_port, "GET", "/ui/app.js", "", 20000,
                                             "If-None-Match: " + tag + "\r\n");
        EXPECT_EQ(again.status, tag == first.headers["etag"] ? 304 : 200);
        EXPECT_EQ(again.body, tag == first.headers["etag"] ? "" : first.body);
    }
}

} // namespace
