// Control API framing: key check, keep-alive, path matching and oversized requests.
#include <string>
#include <vector>

#include "http_client.h"

namespace {

class http_framing : public http_relay_fixture {};

struct auth_case_t {
    const char *name;
    std::string query; // whole query string, without '?'
    int status;
    std::string body;
};

const char no_key[] = "API key does not exist";
const char wrong_key[] = "API key does not same with registered API key";

TEST_F(http_framing, api_key_check_by_query_parameter) {
    const std::vector<auth_case_t> cases = {
        {"absent", "", 555, no_key},
        {"empty value", "api_key=", 555, no_key},
        {"no equals sign", "api_key", 555, no_key},
        {"other name", "apikey=test-key", 555, no_key},
        {"wrong", "api_key=wrong", 555, wrong_key},
        {"prefix of the key", "api_key=test-ke", 555, wrong_key},
        {"key plus a character", "api_key=test-key2", 555, wrong_key},
        {"other case", "api_key=TEST-KEY", 555, wrong_key},
        {"far too long", "api_key=test-key" + std::string(200, 'x'), 555, wrong_key},
        {"first of two wins (good)", "api_key=test-key&api_key=wrong", 200, "{}"},
        {"first of two wins (bad)", "api_key=wrong&api_key=test-key", 555, wrong_key},
        {"empty first is ignored", "api_key=&api_key=test-key", 200, "{}"},
        {"percent-encoded key", "api_key=test%2Dkey", 200, "{}"},
        {"after a 256-character fragment", "x=" + std::string(300, 'y') + "&api_key=test-key", 555,
         no_key},
    };
    for (const auth_case_t &test : cases) {
        std::string target = "/api/routes" + (test.query.empty() ? "" : "?" + test.query);
        http_response_t response = http_request(relay.http_port, "GET", target);
        EXPECT_EQ(response.status, test.status) << test.name;
        EXPECT_EQ(response.body, test.body) << test.name;
        EXPECT_EQ(response.content_type, "application/json") << test.name;
    }
}

TEST_F(http_framing, refused_request_executes_nothing) {
    http_response_t response =
        http_request(relay.http_port, "POST", "/api/routes/route?api_key=wrong");
    EXPECT_EQ(response.status, 555);
    EXPECT_EQ(get_body("/api/routes"), "{}");
}

TEST_F(http_framing, empty_server_key_refuses_every_request) {
    stop_relay(relay);
    start({{"MIREVO_API_KEY", ""}});
    http_response_t without = http_request(relay.http_port, "GET", "/api/routes");
    EXPECT_EQ(without.status, 555);
    EXPECT_EQ(without.body, no_key);
    http_response_t with = http_request(relay.http_port, "GET", "/api/routes?api_key=test-key");
    EXPECT_EQ(with.status, 555);
    EXPECT_EQ(with.body, wrong_key);
}

// The longest key the 112-byte key buffer holds is compared in full.
TEST_F(http_framing, longest_key_is_compared_whole) {
    std::string key(111, 'k');
    key[110] = 'z';
    stop_relay(relay);
    start({{"MIREVO_API_KEY", key}});
    const std::vector<auth_case_t> cases = {
        {"exact", "api_key=" + key, 200, "{}"},
        {"last byte differs", "api_key=" + std::string(111, 'k'), 555, wrong_key},
        {"one byte more", "api_key=" + key + "z", 555, wrong_key},
        {"one byte less", "api_key=" + key.substr(0, 110), 555, wrong_key},
    };
    for (const auth_case_t &test : cases) {
        http_response_t response =
            http_request(relay.http_port, "GET", "/api/routes?" + test.query);
        EXPECT_EQ(response.status, test.status) << test.name;
        EXPECT_EQ(response.body, test.body) << test.name;
    }
}

// One connection carries a refused request, then good ones of every method.
TEST_F(http_framing, keep_alive_connection_served_after_refusal) {
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    std::string key = "api_key=" + relay.api_key;

    http_response_t refused = http_exchange(connection, "GET", "/api/routes?api_key=nope");
    EXPECT_EQ(refused.status, 555);
    EXPECT_EQ(refused.body, wrong_key);

    http_response_t created = http_exchange(connection, "POST", "/api/routes/route?" + key);
    EXPECT_EQ(created.status, 200);
    EXPECT_EQ(created.body, "{\"route_id\":100}");

    http_response_t missing = http_exchange(connection, "GET", "/api/routes");
    EXPECT_EQ(missing.body, no_key);

    // Body parameters are never read: "enabled" in the body is not seen, and
    // the body does not disturb the next request on the connection.
    http_response_t body_only =
        http_exchange(connection, "OPTIONS", "/api/routes/100?" + key, "enabled=1");
    EXPECT_EQ(body_only.status, 555);
    EXPECT_EQ(body_only.body, "{\"error\":\"enabled setting not found\"}");

    http_response_t put = http_exchange(connection, "PUT",
                                        "/api/routes/100/source?" + key +
                                            "&enabled=0&mode=pull&url=srt://"
                                            "127.0.0.1:9");
    EXPECT_EQ(put.status, 200);
    EXPECT_EQ(put.body, "Ok");

    http_response_t deleted = http_exchange(connection, "DELETE", "/api/routes/100?" + key);
    EXPECT_EQ(deleted.status, 200);
    EXPECT_EQ(deleted.body, "Ok");

    http_response_t listed = http_exchange(connection, "GET", "/api/routes?" + key);
    EXPECT_EQ(listed.status, 200);
    EXPECT_EQ(listed.body, "{}");
    EXPECT_FALSE(listed.connection_closed);
    http_disconnect(connection);
}

// Without Content-Length the library would take the rest of the connection as
// the request's body; the reply must still come whole, then the connection ends.
TEST_F(http_framing, bodyless_post_and_put_without_length_close_after_reply) {
    const std::vector<std::string> requests = {
        "POST /api/routes/route?api_key=test-key HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "PUT /api/routes/100/source?api_key=test-key HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    };
    const std::vector<std::string> bodies = {
        "{\"route_id\":100}", "{\"error\":\"enabled, mode and url setting not found\"}"};
    for (size_t i = 0; i < requests.size(); i++) {
        http_connection_t connection;
        ASSERT_TRUE(http_connect(connection, relay.http_port));
        ASSERT_TRUE(http_send_raw(connection, requests[i]));
        http_response_t response = http_read_response(connection, 20000);
        EXPECT_EQ(response.body, bodies[i]);
        EXPECT_EQ(response.headers["connection"], "close");
        EXPECT_TRUE(http_peer_closed(connection, 20000));
        http_disconnect(connection);
    }
}

TEST_F(http_framing, post_body_is_ignored_by_curl_client) {
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

struct path_case_t {
    std::string method;
    std::string path;
    std::string body; // "" with status 200: not dispatched
};

TEST_F(http_framing, paths_match_by_exact_segments_and_count) {
    ASSERT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":100}");
    const std::string routes = "{\"100\":{\"enabled\":0}}";
    const std::string source = "{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}";
    const std::vector<path_case_t> cases = {
        {"GET", "/api/routes", routes},
        {"GET", "/api//routes/", routes},
        {"GET", "//api///routes", routes},
        {"GET", "/API/routes", ""},
        {"GET", "/api/Routes", ""},
        {"GET", "/api", ""},
        {"GET", "/", ""},
        {"GET", "/x/api/routes", ""},
        {"GET", "/api/nothing", ""},
        {"GET", "/api/routes/100", ""},
        {"GET", "/api/routes/100/source", source},
        {"GET", "/api/routes/100abc/source", source},
        {"GET", "/api/routes/100" + std::string(150, 'z') + "/source", source},
        {"GET", "/api/routes/abc/source", "{}"},
        {"GET", "/api/routes/100/source/x", ""},
        {"POST", "/api/routes", ""},
        {"POST", "/api/routes/route/x", ""},
        {"PUT", "/api/routes/100/source/x", ""},
        {"PUT", "/api/routes/100/Source", ""},
        {"DELETE", "/api/routes", ""},
        {"DELETE", "/api/routes/100/target/1000", ""},
        {"OPTIONS", "/api/routes/100/x/1000", ""},
        {"PATCH", "/api/routes/100", ""},
    };
    for (const path_case_t &test : cases) {
        http_response_t response = call(test.method, test.path);
        std::string label = test.method + " " + test.path;
        EXPECT_EQ(response.status, 200) << label;
        EXPECT_EQ(response.body, test.body) << label;
        EXPECT_EQ(response.content_type, "application/json") << label;
        EXPECT_EQ(response.headers["content-length"], std::to_string(test.body.size())) << label;
    }
    // None of the undispatched requests changed anything.
    EXPECT_EQ(get_body("/api/routes"), routes);
}

// Paths that do not fit the 256-byte path buffer or the 10-slot segment table
// get a defined refusal instead of being cut.
TEST_F(http_framing, oversized_paths_are_refused) {
    const std::string too_long = "{\"error\":\"Request path too long\"}";
    const std::string too_many = "{\"error\":\"Too many path segments\"}";
    // The relay's key ("test-key") and the query are not part of the path.
    std::string head = "/api/routes/100";
    std::string path_255 = head + std::string(255 - head.size() - 7, 'z') + "/source";
    std::string path_256 = head + std::string(256 - head.size() - 7, 'z') + "/source";
    ASSERT_EQ(path_255.size(), 255u);

    http_response_t fits = call("GET", path_255);
    EXPECT_EQ(fits.status, 200);
    EXPECT_EQ(fits.body, "{}"); // route 100 does not exist

    const std::vector<path_case_t> refused = {
        {"GET", path_256, too_long},
        {"PUT", "/api/routes/1/source/" + std::string(2000, 'a'), too_long},
        {"GET", "/api/a/b/c/d/e/f/g/h/i/j", too_many},
        {"DELETE", "/api/1/2/3/4/5/6/7/8/9/10/11/12/13/14/15/16/17/18/19/20", too_many},
    };
    for (const path_case_t &test : refused) {
        http_response_t response = call(test.method, test.path);
        EXPECT_EQ(response.status, 555) << test.path.size();
        EXPECT_EQ(response.body, test.body) << test.path.size();
    }
    http_response_t ten = call("GET", "/api/a/b/c/d/e/f/g/h/i");
    EXPECT_EQ(ten.status, 200);
    EXPECT_EQ(ten.body, "");
}

TEST_F(http_framing, request_traces_name_method_and_path) {
    call("GET", "/api/routes");
    call("DELETE", "/api/routes/7");
    EXPECT_TRUE(wait_relay_output(relay, "GET request URI: /api/routes\n", 5000));
    EXPECT_TRUE(wait_relay_output(relay, "DELETE request URI: /api/routes/7\n", 5000));
}

} // namespace
