// Control API framing: key check, keep-alive, path matching and oversized requests.
#include <string>
#include <vector>

#include "http_client.h"

namespace
{

using http_framing = http_relay_fixture;

const char no_key[] = "API key does not exist";
const char wrong_key[] = "API key does not same with registered API key";

struct auth_case_t {
    std::string server_key;
    std::string query; // whole query string, without '?'
    int status;
    std::string body;
    std::string authorization = ""; // value of an Authorization header
};

// Rows are grouped by the relay's key; the relay restarts when it changes. The
// key comes as api_key or as a bearer token; api_key decides when both come.
TEST_F(http_framing, api_key_check_by_query_parameter_and_bearer_header)
{
    std::string longest(111, 'k'); // the longest key the 112-byte key buffer holds
    longest[110] = 'z';
    const std::string key = "test-key";
    const std::vector<auth_case_t> cases = {
        {key, "", 555, no_key},
        {key, "api_key=", 555, no_key},
        {key, "api_key", 555, no_key},
        {key, "apikey=test-key", 555, no_key},
        {key, "api_key=wrong", 555, wrong_key},
        {key, "api_key=test-ke", 555, wrong_key},
        {key, "api_key=test-key2", 555, wrong_key},
        {key, "api_key=TEST-KEY", 555, wrong_key},
        {key, "api_key=test-key" + std::string(200, 'x'), 555, wrong_key},
        {key, "api_key=test-key&api_key=wrong", 200, "{}"},
        {key, "api_key=wrong&api_key=test-key", 555, wrong_key},
        {key, "api_key=&api_key=test-key", 200, "{}"},
        {key, "api_key=test%2Dkey", 200, "{}"},
        {key, "x=" + std::string(300, 'y') + "&api_key=test-key", 555, no_key},
        {key, "", 200, "{}", "Bearer test-key"},
        {key, "", 200, "{}", "bearer   test-key  "},
        {key, "", 555, wrong_key, "Bearer test-ke"},
        {key, "", 555, wrong_key, "Bearer " + std::string(600, 'k')},
        {key, "", 555, no_key, "Basic test-key"},
        {key, "", 555, no_key, "Bearer "},
        {key, "api_key=test-key", 200, "{}", "Bearer wrong"},
        {key, "api_key=wrong", 555, wrong_key, "Bearer test-key"},
        {"", "", 555, no_key},
        {"", "api_key=test-key", 555, wrong_key},
        {longest, "api_key=" + longest, 200, "{}"},
        {longest, "api_key=" + std::string(111, 'k'), 555, wrong_key},
        {longest, "api_key=" + longest + "z", 555, wrong_key},
        {longest, "api_key=" + longest.substr(0, 110), 555, wrong_key},
    };
    for (const auth_case_t &test : cases) {
        if (test.server_key != relay.api_key) {
            stop_relay(relay);
            start({{"MIREVO_API_KEY", test.server_key}});
        }
        std::string target = "/api/routes" + (test.query.empty() ? "" : "?" + test.query);
        std::string header =
            test.authorization.empty() ? "" : "Authorization: " + test.authorization + "\r\n";
        http_response_t response = http_request(relay.http_port, "GET", target, "", 20000, header);
        std::string label = test.server_key.substr(0, 8) + " " + test.query.substr(0, 40) + " " +
                            test.authorization.substr(0, 20);
        EXPECT_EQ(response.status, test.status) << label;
        EXPECT_EQ(response.body, test.body) << label;
        EXPECT_EQ(response.content_type, "application/json") << label;
    }
}

struct exchange_case_t {
    std::string method;
    std::string target;
    std::string body;
    int status;
    std::string reply;
};

// One connection carries refused requests and good ones of every method. A
// refused POST creates nothing (the next id is still 100), and body parameters
// are never read nor disturb the next request.
TEST_F(http_framing, keep_alive_connection_served_after_refusal)
{
    const std::string key = "?api_key=test-key";
    const std::vector<exchange_case_t> cases = {
        {"POST", "/api/routes/route?api_key=nope", "", 555, wrong_key},
        {"POST", "/api/routes/route" + key, "", 200, "{\"route_id\":100}"},
        {"GET", "/api/routes", "", 555, no_key},
        {"OPTIONS", "/api/routes/100" + key, "enabled=1", 555,
         "{\"error\":\"enabled setting not found\"}"},
        {"PUT", "/api/routes/100/source" + key + "&enabled=0&mode=pull&url=srt://127.0.0.1:9", "",
         200, "Ok"},
        {"DELETE", "/api/routes/100" + key, "", 200, "Ok"},
        {"GET", "/api/routes" + key, "", 200, "{}"},
    };
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    for (const exchange_case_t &test : cases) {
        http_response_t response = http_exchange(connection, test.method, test.target, test.body);
        EXPECT_EQ(response.status, test.status) << test.method << " " << test.target;
        EXPECT_EQ(response.body, test.reply) << test.method << " " << test.target;
        EXPECT_FALSE(response.connection_closed);
    }
    http_disconnect(connection);
}

// Without Content-Length the library would take the rest of the connection as
// the request's body; the reply must still come whole, then the connection ends.
TEST_F(http_framing, bodyless_post_and_put_without_length_close_after_reply)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"POST /api/routes/route", "{\"route_id\":100}"},
        {"PUT /api/routes/100/source", "{\"error\":\"enabled, mode and url setting not found\"}"},
    };
    for (const auto &test : cases) {
        http_connection_t connection;
        ASSERT_TRUE(http_connect(connection, relay.http_port));
        ASSERT_TRUE(http_send_raw(connection, test.first + "?api_key=test-key HTTP/1.1\r\nHost: "
                                                           "127.0.0.1\r\n\r\n"));
        http_response_t response = http_read_response(connection, 20000);
        EXPECT_EQ(response.body, test.second);
        EXPECT_EQ(response.headers["connection"], "close");
        EXPECT_TRUE(http_peer_closed(connection, 20000));
        http_disconnect(connection);
    }
}

TEST_F(http_framing, post_body_is_ignored_by_curl_client)
{
    std::string out = dir + "/curl.out";
    child_process_t curl =
        spawn_process({"curl", "-s", "--max-time", "20", "-d", "api_key=wrong&enabled=1", "-o", out,
                       "-w", "%{http_code}",
                       "http://127.0.0.1:" + std::to_string(relay.http_port) +
                           "/api/routes/route?api_key=" + relay.api_key},
                      {}, dir + "/curl.code", dir + "/curl.err");
    ASSERT_TRUE(wait_process(curl, 30000));
    EXPECT_EQ(read_text_file(dir + "/curl.code"), "200");
    EXPECT_EQ(read_text_file(out), "{\"route_id\":100}");
}

// Paths that do not fit the 256-byte path buffer or the 10-slot segment table
// get a defined refusal instead of being cut.
TEST_F(http_framing, paths_match_by_exact_segments_and_count)
{
    ASSERT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":100}");
    const std::string routes = "{\"100\":{\"enabled\":0}}";
    const std::string source = "{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}";
    const std::string too_long = "{\"error\":\"Request path too long\"}";
    const std::string too_many = "{\"error\":\"Too many path segments\"}";
    // The key and the query are not part of the path.
    const std::string head = "/api/routes/999";
    const std::string path_255 = head + std::string(255 - head.size() - 7, 'z') + "/source";
    const std::string path_256 = head + std::string(256 - head.size() - 7, 'z') + "/source";
    ASSERT_EQ(path_255.size(), 255u);
    expect_calls({
        {"GET", "/api/routes", "", 200, routes},
        {"GET", "/api//routes/", "", 200, routes},
        {"GET", "//api///routes", "", 200, routes},
        {"GET", "/API/routes", "", 200, ""},
        {"GET", "/api/Routes", "", 200, ""},
        {"GET", "/api", "", 200, ""},
        {"GET", "/x", "", 200, ""},
        {"GET", "/x/api/routes", "", 200, ""},
        {"GET", "/api/nothing", "", 200, ""},
        {"GET", "/api/routes/100", "", 200, ""},
        {"GET", "/api/routes/100/source", "", 200, source},
        {"GET", "/api/routes/100abc/source", "", 200, source},
        {"GET", "/api/routes/100" + std::string(150, 'z') + "/source", "", 200, source},
        {"GET", "/api/routes/abc/source", "", 200, "{}"},
        {"GET", "/api/routes/100/source/x", "", 200, ""},
        {"POST", "/api/routes", "", 200, ""},
        {"POST", "/api/routes/route/x", "", 200, ""},
        {"PUT", "/api/routes/100/source/x", "", 200, ""},
        {"PUT", "/api/routes/100/Source", "", 200, ""},
        {"DELETE", "/api/routes", "", 200, ""},
        {"DELETE", "/api/routes/100/target/1000", "", 200, ""},
        {"OPTIONS", "/api/routes/100/x/1000", "", 200, ""},
        {"PATCH", "/api/routes/100", "", 200, ""},
        {"GET", path_255, "", 200, "{}"}, // fits; route 999 does not exist
        {"GET", path_256, "", 555, too_long},
        {"PUT", "/api/routes/1/source/" + std::string(2000, 'a'), "", 555, too_long},
        {"GET", "/api/a/b/c/d/e/f/g/h/i", "", 200, ""},
        {"GET", "/api/a/b/c/d/e/f/g/h/i/j", "", 555, too_many},
        {"DELETE", "/api/1/2/3/4/5/6/7/8/9/10/11/12/13/14/15/16/17/18/19/20", "", 555, too_many},
    });
    // None of the undispatched requests changed anything.
    EXPECT_EQ(get_body("/api/routes"), routes);
}

} // namespace
