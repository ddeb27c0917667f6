// Control API framing: the page without a key, key check, keep-alive, path matching.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "http_client.h"

using http_framing = http_relay_fixture;

const char no_key[] = "API key does not exist";
const char wrong_key[] = "API key does not same with registered API key";

// No row sends a key; nothing outside web/ is reachable through /ui/.
TEST_F(http_framing, page_and_assets_without_key_and_everything_else_keyed)
{
    const std::string html = "text/html; charset=utf-8", js = "text/javascript; charset=utf-8";
    const std::string text = "text/plain; charset=utf-8", json = "application/json";
    const std::string uplot = "vendor/uplot-1.6.32/";
    const struct {
        std::string method, path;
        int status;
        std::string content_type, file; // the file under web/ whose bytes the body must be
    } cases[] = {
        {"GET", "/", 200, html, "index.html"},
        {"GET", "/ui/style.css", 200, "text/css; charset=utf-8", "style.css"},
        {"GET", "/ui/" + uplot + "uPlot.iife.min.js", 200, js, uplot + "uPlot.iife.min.js"},
        {"GET", "/ui/" + uplot + "LICENSE", 200, text, uplot + "LICENSE"},
        {"GET", "/ui/vendor/../app.js", 200, js, "app.js"},
        {"GET", "/ui/nothing.js", 404, text, ""},
        {"GET", "/ui/vendor", 404, text, ""},
        {"GET", "/ui/../api/routes", 555, json, ""},
        {"GET", "/ui/..%2f..%2f..%2fetc/passwd", 555, json, ""},
        {"GET", "/index.html", 555, json, ""},
        {"GET", "/ui", 555, json, ""},
        {"POST", "/", 555, json, ""},
        {"DELETE", "/ui/app.js", 555, json, ""},
    };
    for (const auto &c : cases) {
        http_response_t response = http_request(relay.http_port, c.method, c.path);
        SCOPED_TRACE(c.method + " " + c.path);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.content_type, c.content_type);
        // The page may run its own scripts; no /api answer may run anything.
        EXPECT_EQ(response.headers["content-security-policy"],
                  c.status == 555 ? "default-src 'none'; frame-ancestors 'none'"
                                  : "default-src 'self'");
        EXPECT_EQ(response.headers["x-content-type-options"], "nosniff");
        if (c.status == 555)
            EXPECT_EQ(response.body, no_key);
        if (!c.file.empty())
            EXPECT_EQ(response.body, read_text_file(MIREVO_SOURCE_DIR "/web/" + c.file));
    }
}

// How the key reaches the check: query fragments, decoding, header and buffers.
TEST_F(http_framing, api_key_check_by_query_parameter_and_bearer_header)
{
    const std::string longest = std::string(110, 'k') + "z";
    const struct {
        std::string query, authorization;
        int status;
        std::string body;
    } cases[] = {
        {"", "", 555, no_key},
        {"api_key=test-key&api_key=wrong", "", 200, "{}"},
        {"api_key=test%2Dkey", "", 200, "{}"},
        // A fragment as long as the library keeps does not hide the ones after it.
        {"x=" + std::string(3900, 'y') + "&api_key=test-key", "", 200, "{}"},
        {"x=" + std::string(12000, 'y') + "&api_key=test-key", "", 200, "{}"},
        {"", "bearer   test-key  ", 200, "{}"},
        {"", "Bearer " + std::string(600, 'k'), 555, wrong_key},
        {"api_key=test-key", "Bearer wrong", 200, "{}"},
        {"api_key=wrong", "Bearer test-key", 555, wrong_key},
        {"api_key=test-kez", "", 555, wrong_key},
        {"api_key=" + longest, "", 200, "{}"}, // the relay restarts with this key first
        {"api_key=" + longest + "z", "", 555, wrong_key},
    };
    for (const auto &c : cases) {
        if (c.query == "api_key=" + longest) {
            stop_relay(relay);
            start({{"MIREVO_API_KEY", longest}});
        }
        std::string header =
            c.authorization.empty() ? "" : "Authorization: " + c.authorization + "\r\n";
        http_response_t response =
            http_request(relay.http_port, "GET", "/api/routes?" + c.query, "", 20000, header);
        SCOPED_TRACE(c.query.substr(0, 40) + " " + c.authorization.substr(0, 20));
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(response.content_type, "application/json");
    }
}

// The read key opens every view and no change; neither key is logged.
TEST_F(http_framing, read_key_opens_every_view_and_no_change)
{
    const std::string read_key = "read-only-key-1";
    stop_relay(relay);
    start({{"MIREVO_READ_KEY", read_key}});
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    const std::string url = "&mode=listen&url=srt%3A%2F%2F%3A" + std::to_string(free_udp_port());
    // "METHOD path?query" under /api; views marked * have figures that move between calls.
    const std::string views = "GET all_info;GET routes;GET active_routes;GET routes/100/source;"
                              "GET routes/100/active_targets;GET routes/100/targets;"
                              "GET stats?route_id=100&is_source=1;GET connections;"
                              "GET history?route_id=100*;GET metrics*;GET logs*;";
    const std::string changes = "POST routes/route;POST routes/100/targets;"
                                "PUT routes/100/source?enabled=1" +
                                url + ";PUT routes/100/targets/1000?enabled=1" + url +
                                ";OPTIONS routes/100?enabled=1;DELETE routes/100/targets/1000;"
                                "OPTIONS routes/100/targets/1000?enabled=1;DELETE connections/1;"
                                "DELETE routes/100;POST server/init;POST server/restore;"
                                "POST server/cleanup;POST nothing;PATCH routes";
    std::vector<std::string> requests;
    std::istringstream listed(views + changes);
    for (std::string request; std::getline(listed, request, ';');)
        requests.push_back(request);
    const std::string document = get_body("/api/all_info");
    for (std::string request : requests) {
        SCOPED_TRACE(request);
        bool moving = request.back() == '*';
        request.erase(request.size() - moving);
        size_t blank = request.find(' '), mark = request.find('?');
        std::string method = request.substr(0, blank),
                    path = "/api/" + request.substr(blank + 1, mark - blank - 1);
        std::string query = mark == std::string::npos ? "" : request.substr(mark + 1);
        for (bool bearer : {false, true}) {
            http_response_t response =
                http_request(relay.http_port, method,
                             bearer ? path + "?" + query : api_target(path, read_key, query), "",
                             20000, bearer ? "Authorization: Bearer " + read_key + "\r\n" : "");
            EXPECT_EQ(response.status, method == "GET" ? 200 : 555);
            EXPECT_EQ(response.headers["x-api-access"], method == "GET" ? "read" : "");
            if (method != "GET")
                EXPECT_EQ(response.body, "API key does not permit changes");
            else if (!moving)
                EXPECT_EQ(response.body, get_body(path, query));
            else
                EXPECT_FALSE(response.body.empty());
        }
    }
    EXPECT_EQ(get_body("/api/all_info"), document);
    EXPECT_EQ(read_text_file(relay.config_path), document);
    EXPECT_EQ(call("GET", "/api/routes").headers["x-api-access"], "full");
    EXPECT_EQ(call("DELETE", "/api/routes/100").body, "Ok") << "the full key still changes";
    std::string printed = relay_stdout(relay) + read_text_file(relay.child.err_path);
    for (const auto &file : std::filesystem::directory_iterator(dir))
        if (file.path().extension() == ".log")
            printed += read_text_file(file.path());
    EXPECT_EQ(printed.find(read_key), std::string::npos);
    EXPECT_EQ(printed.find(relay.api_key), std::string::npos);
}

// A refused key keeps the connection; a POST without length gets its reply, then close.
TEST_F(http_framing, keep_alive_after_refusal_and_close_after_a_post_without_length)
{
    const std::string key = "?api_key=test-key";
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    EXPECT_EQ(http_exchange(connection, "POST", "/api/routes/route?api_key=nope").body, wrong_key);
    EXPECT_EQ(http_exchange(connection, "GET", "/api/routes").body, no_key);
    EXPECT_EQ(http_exchange(connection, "OPTIONS", "/api/routes/100" + key, "enabled=1").body,
              "{\"error\":\"enabled setting not found\"}");
    EXPECT_EQ(http_exchange(connection, "POST", "/api/routes/route" + key).body,
              "{\"route_id\":100}");
    const std::pair<std::string, std::string> bodyless[] = {
        {"POST /api/routes/route", "{\"route_id\":101}"},
        {"PUT /api/routes/101/source", "{\"error\":\"enabled, mode and url setting not found\"}"}};
    for (const auto &request : bodyless) {
        ASSERT_TRUE(
            http_send_raw(connection, request.first + key + " HTTP/1.1\r\nHost: h\r\n\r\n"));
        http_response_t response = http_read_response(connection, 20000);
        EXPECT_EQ(response.body, request.second);
        EXPECT_EQ(response.headers["connection"], "close");
        EXPECT_TRUE(http_peer_closed(connection, 20000));
        ASSERT_TRUE(http_connect(connection, relay.http_port));
    }
    http_disconnect(connection);
}

// Segments match exactly; paths too long or too many segments are refused, not cut.
TEST_F(http_framing, paths_match_by_exact_segments_and_count)
{
    create_routes(1);
    const std::string routes = "{\"100\":{\"enabled\":0}}";
    const std::string source = "{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}";
    const std::string too_long = "{\"error\":\"Request path too long\"}";
    // The key and the query are not part of the path.
    const std::string path_255 = "/api/routes/999" + std::string(233, 'z') + "/source";
    expect_calls({
        {"GET", "/api//routes/", "", 200, routes},
        {"GET", "/API/routes", "", 200, ""},
        {"GET", "/api/routes/100", "", 200, ""},
        {"GET", "/api/routes/100abc/source", "", 200, source},
        {"GET", "/api/routes/100" + std::string(150, 'z') + "/source", "", 200, source},
        {"GET", "/api/routes/100/source/x", "", 200, ""},
        {"PUT", "/api/routes/100/Source", "", 200, ""},
        {"DELETE", "/api/routes/100/target/1000", "", 200, ""},
        {"GET", path_255, "", 200, "{}"}, // fits; route 999 does not exist
        {"GET", path_255 + "z", "", 555, too_long},
        {"GET", "/api/a/b/c/d/e/f/g/h/i", "", 200, ""},
        {"GET", "/api/a/b/c/d/e/f/g/h/i/j", "", 555, "{\"error\":\"Too many path segments\"}"},
    });
    EXPECT_EQ(get_body("/api/routes"), routes) << "no undispatched request changed anything";
}
