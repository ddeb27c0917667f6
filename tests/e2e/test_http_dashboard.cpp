// The page and its assets: served without a key from the compiled table, /api unchanged.
#include <string>
#include <vector>

#include "http_client.h"

namespace
{

using http_dashboard = http_relay_fixture;

const std::string csp = "default-src 'self'";
const std::string uplot = "vendor/uplot-1.6.32/";

struct asset_case_t {
    std::string method;
    std::string path;
    int status;
    std::string content_type;
    std::string cache_control;
    std::string file; // under web/, whose bytes the body must be; "" when none is
};

// No row sends a key. Dot segments are folded by the HTTP library before the
// lookup, and the lookup only matches whole table names, so nothing outside
// web/ (nor an /api answer) is reachable through /ui/.
TEST_F(http_dashboard, page_and_assets_without_key_and_api_still_guarded)
{
    const std::string html = "text/html; charset=utf-8";
    const std::string js = "text/javascript; charset=utf-8";
    const std::string text = "text/plain; charset=utf-8";
    const std::string immutable = "public, max-age=31536000, immutable";
    const std::vector<asset_case_t> cases = {
        {"GET", "/", 200, html, "no-cache", "index.html"},
        {"GET", "/ui/index.html", 200, html, "no-cache", "index.html"},
        {"GET", "/ui/app.js", 200, js, "no-cache", "app.js"},
        {"GET", "/ui/style.css", 200, "text/css; charset=utf-8", "no-cache", "style.css"},
        {"GET", "/ui/" + uplot + "uPlot.iife.min.js", 200, js, immutable,
         uplot + "uPlot.iife.min.js"},
        {"GET", "/ui/" + uplot + "LICENSE", 200, text, immutable, uplot + "LICENSE"},
        {"GET", "/ui/vendor/../app.js", 200, js, "no-cache", "app.js"},
        {"GET", "/ui/nothing.js", 404, text, "no-store", ""},
        {"GET", "/ui/", 404, text, "no-store", ""},
        {"GET", "/ui/vendor", 404, text, "no-store", ""},
        {"GET", "/ui/app.js/", 404, text, "no-store", ""},
        {"GET", "/ui/../api/routes", 555, "application/json", "", ""},
        {"GET", "/ui/..%2f..%2f..%2fetc/passwd", 555, "application/json", "", ""},
        {"GET", "/index.html", 555, "application/json", "", ""},
        {"GET", "/ui", 555, "application/json", "", ""},
        {"POST", "/", 555, "application/json", "", ""},
        {"DELETE", "/ui/app.js", 555, "application/json", "", ""},
    };
    for (const asset_case_t &test : cases) {
        http_response_t response = http_request(relay.http_port, test.method, test.path);
        std::string label = test.method + " " + test.path;
        EXPECT_EQ(response.status, test.status) << label;
        EXPECT_EQ(response.content_type, test.content_type) << label;
        EXPECT_EQ(response.headers["cache-control"], test.cache_control) << label;
        if (test.status == 555) {
            EXPECT_EQ(response.body, "API key does not exist") << label;
            continue;
        }
        EXPECT_EQ(response.headers["content-security-policy"], csp) << label;
        if (!test.file.empty())
            EXPECT_EQ(response.body,
                      read_text_file(std::string(MIREVO_SOURCE_DIR) + "/web/" + test.file))
                << label;
    }
}

// A cached copy is revalidated by its ETag; a stale tag gets the whole file again.
TEST_F(http_dashboard, etag_revalidation_answers_not_modified)
{
    http_response_t first = http_request(relay.http_port, "GET", "/ui/app.js");
    ASSERT_EQ(first.status, 200);
    const std::string etag = first.headers["etag"];
    ASSERT_EQ(etag.size(), 22u);
    http_response_t same = http_request(relay.http_port, "GET", "/ui/app.js", "", 20000,
                                        "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(same.status, 304);
    EXPECT_EQ(same.body, "");
    http_response_t stale = http_request(relay.http_port, "GET", "/ui/app.js", "", 20000,
                                         "If-None-Match: \"0000\"\r\n");
    EXPECT_EQ(stale.status, 200);
    EXPECT_EQ(stale.body, first.body);
}

} // namespace
