// Control API framing: key check, keep-alive, path matching and oversized requests.
#include <string>
#include <vector>

#include "http_client.h"

namespace
{

using http_framing = http_relay_fixture;

const char no_key[] = "API key does not exist";
const char wrong_key[] = "API key does not same with registered API key";

// The key comes as api_key or as a bearer token; api_key decides when both come. The
// relay restarts when a row's key differs; 111 characters is the longest key it holds.
// The HTTP request fuzz target pins the check itself; these rows pin how the server
// feeds it: query fragments up to the first one too long, decoding, the header buffer.
TEST_F(http_framing, api_key_check_by_query_parameter_and_bearer_header)
{
    std::string longest(111, 'k');
    longest[110] = 'z';
    const struct {
        std::string server_key, query, authorization;
        int status;
        std::string body;
    } cases[] = {
        {"test-key", "", "", 555, no_key},
        {"test-key", "apikey=test-key", "", 555, no_key},
        {"test-key", "api_key=test-ke", "", 555, wrong_key},
        {"test-key", "api_key=test-key&api_key=wrong", "", 200, "{}"},
        {"test-key", "api_key=&api_key=test-key", "", 200, "{}"},
        {"test-key", "api_key=test%2Dkey", "", 200, "{}"},
        {"test-key", "x=" + std::string(300, 'y') + "&api_key=test-key", "", 555, no_key},
        {"test-key", "", "bearer   test-key  ", 200, "{}"},
        {"test-key", "", "Bearer " + std::string(600, 'k'), 555, wrong_key},
        {"test-key", "", "Basic test-key", 555, no_key},
        {"test-key", "api_key=test-key", "Bearer wrong", 200, "{}"},
        {"test-key", "api_key=wrong", "Bearer test-key", 555, wrong_key},
        {longest, "api_key=" + longest, "", 200, "{}"},
        {longest, "api_key=" + longest.substr(0, 110), "", 555, wrong_key},
    };
    for (const auto &c : cases) {
        if (c.server_key != relay.api_key) {
            stop_relay(relay);
            start({{"MIREVO_API_KEY", c.server_key}});
        }
        std::string header =
            c.authorization.empty() ? "" : "Authorization: " + c.authorization + "\r\n";
        http_response_t response =
            http_request(relay.http_port, "GET",
                         "/api/routes" + (c.query.empty() ? "" : "?" + c.query), "", 20000, header);
        SCOPED_TRACE(c.query.substr(0, 40) + " " + c.authorization.substr(0, 20));
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(response.content_type, "application/json");
    }
}

// One connection carries refused requests and good ones of every method. A refused POST
// creates nothing (the next id is still 100), and a body is never read as parameters.
// Without Content-Length the library would take the rest of the connection as the body
// of a POST or PUT: the reply still comes whole, then the connection ends.
TEST_F(http_framing, keep_alive_after_refusal_and_close_after_a_post_without_length)
{
    const std::string key = "?api_key=test-key";
    const struct {
        std::string method, target, body;
        int status;
        std::string reply;
    } cases[] = {
        {"POST", "/api/routes/route?api_key=nope", "", 555, wrong_key},
        {"POST", "/api/routes/route" + key, "", 200, "{\"route_id\":100}"},
        {"GET", "/api/routes", "", 555, no_key},
        {"OPTIONS", "/api/routes/100" + key, "enabled=1", 555,
         "{\"error\":\"enabled setting not found\"}"},
        {"PUT", "/api/routes/100/source" + key + "&enabled=0&mode=pull&url=srt://127.0.0.1:9", "",
         200, "Ok"},
        {"DELETE", "/api/routes/100" + key, "", 200, "Ok"},
    };
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    for (const auto &c : cases) {
        http_response_t response = http_exchange(connection, c.method, c.target, c.body);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.target;
        EXPECT_EQ(response.body, c.reply) << c.method << " " << c.target;
    }
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

// Segments match exactly and whole; anything else is answered 200 with nothing. Paths that
// do not fit the 256-byte path buffer or the 10-slot segment table are refused, not cut.
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
        {"GET", "//api///routes", "", 200, routes},
        {"GET", "/API/routes", "", 200, ""},
        {"GET", "/api/Routes", "", 200, ""},
        {"GET", "/api", "", 200, ""},
        {"GET", "/x/api/routes", "", 200, ""},
        {"GET", "/api/routes/100", "", 200, ""},
        {"GET", "/api/routes/100abc/source", "", 200, source},
        {"GET", "/api/routes/100" + std::string(150, 'z') + "/source", "", 200, source},
        {"GET", "/api/routes/100/source/x", "", 200, ""},
        {"POST", "/api/routes", "", 200, ""},
        {"PUT", "/api/routes/100/Source", "", 200, ""},
        {"DELETE", "/api/routes/100/target/1000", "", 200, ""},
        {"OPTIONS", "/api/routes/100/x/1000", "", 200, ""},
        {"PATCH", "/api/routes/100", "", 200, ""},
        {"GET", path_255, "", 200, "{}"}, // fits; route 999 does not exist
        {"GET", path_255 + "z", "", 555, too_long},
        {"PUT", "/api/routes/1/source/" + std::string(2000, 'a'), "", 555, too_long},
        {"GET", "/api/a/b/c/d/e/f/g/h/i", "", 200, ""},
        {"GET", "/api/a/b/c/d/e/f/g/h/i/j", "", 555, "{\"error\":\"Too many path segments\"}"},
    });
    EXPECT_EQ(get_body("/api/routes"), routes) << "no undispatched request changed anything";
}

} // namespace
