// A small HTTP/1.1 client for the tests: one-shot requests and kept-alive connections.
#pragma once

#include <signal.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>
#include <openssl/ssl.h>
#include <srt/srt.h>

#include "testkit.h"

struct http_response_t {
    int status = -1; // -1 when no whole response arrived
    std::string content_type;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool connection_closed = false; // the server closed instead of answering in full
};

// One TCP (or TLS) connection to 127.0.0.1 carrying several requests.
struct http_connection_t {
    int fd = -1;
    std::string pending; // bytes read past the previous response
    SSL_CTX *tls_context = nullptr;
    SSL *tls = nullptr;
};

bool http_connect(http_connection_t &connection, int port);
// A TLS connection whose server certificate must chain to ca_file and name 127.0.0.1.
bool http_connect_tls(http_connection_t &connection, int port, const std::string &ca_file);
// SHA-256 of the server certificate of a TLS connection as hex; "" when there is none.
std::string tls_peer_fingerprint(const http_connection_t &connection);
void http_disconnect(http_connection_t &connection);
// One request and one response, each read within timeout_ms; headers end in "\r\n".
http_response_t http_exchange(http_connection_t &connection, const std::string &method,
                              const std::string &target, const std::string &body = "",
                              int timeout_ms = 20000, const std::string &headers = "");
// Raw bytes for hand-made requests, and the one response read after them.
bool http_send_raw(http_connection_t &connection, const std::string &bytes);
http_response_t http_read_response(http_connection_t &connection, int timeout_ms = 20000);
// True once the peer has closed the connection (reads end of stream within timeout_ms).
bool http_peer_closed(http_connection_t &connection, int timeout_ms);

// A request on a fresh connection, closed afterwards.
http_response_t http_request(int port, const std::string &method, const std::string &target,
                             const std::string &body = "", int timeout_ms = 20000,
                             const std::string &headers = "");
// Waits until the port accepts TCP connections.
bool wait_http_ready(int port, int timeout_ms);

// "path?api_key=KEY[&query]", and percent-encoding of all but unreserved characters.
std::string api_target(const std::string &path, const std::string &key,
                       const std::string &query = "");
std::string url_encode(const std::string &text);
// The query that switches an endpoint on, listening on port ("srt://:port" + options).
std::string listen_query(int port, const std::string &options = "");
// The value of one sample of a relay's metrics ("name{labels}"), -1 when absent.
double metric_of(const relay_process_t &relay, const std::string &sample);
// Reads the sample until it reaches at_least or times out; the last value read.
double wait_metric(const relay_process_t &relay, const std::string &sample, double at_least,
                   int timeout_ms = 10000);
// Parses a JSON body; nullptr when it is not JSON. Caller releases with json_decref.
json_t *parse_json_body(const std::string &body);

// One request of a table and the reply it must get.
struct call_case_t {
    std::string method;
    std::string path;
    std::string query; // after the key
    int status;
    std::string body;
};

// A relay in its own temp folder on free ports; TearDown closes sockets, children, then relay.
class http_relay_fixture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        if (start_at_set_up)
            start();
    }
    void TearDown() override
    {
        for (int sock : sockets)
            srt_close(sock);
        for (child_process_t &child : children)
            stop_process(child, SIGTERM, 5000);
        if (relay.child.pid > 0)
            stop_relay(relay);
        remove_tree(dir);
    }
    int keep(int sock)
    {
        if (sock != -1)
            sockets.push_back(sock);
        return sock;
    }
    // A caller kept until TearDown; -1 when it was refused (reason filled).
    int caller(int port, const std::string &streamid = "", int *reason = nullptr,
               int family = AF_INET)
    {
        return keep(srt_open_caller(port, streamid, 3000, reason, 0, "", family));
    }
    // A child stopped in TearDown, its output in dir/name.out and .err.
    child_process_t &run(const std::string &name, const std::vector<std::string> &argv,
                         const std::map<std::string, std::string> &env = {})
    {
        children.push_back(
            spawn_process(argv, env, dir + "/" + name + ".out", dir + "/" + name + ".err"));
        return children.back();
    }
    void start(const std::map<std::string, std::string> &extra_env = {})
    {
        relay = start_relay(dir, extra_env);
        ASSERT_GT(relay.child.pid, 0);
        ASSERT_TRUE(wait_http_ready(relay.http_port, 15000));
    }
    // (Re)starts the relay on a route file holding text.
    void restart_with(const std::string &text, const std::map<std::string, std::string> &env = {})
    {
        if (relay.child.pid > 0)
            stop_relay(relay);
        write_text_file(dir + "/mirevo-config.json", text);
        start(env);
    }
    double metric(const std::string &sample)
    {
        return metric_of(relay, sample);
    }
    double wait_metric(const std::string &sample, double at_least)
    {
        return ::wait_metric(relay, sample, at_least);
    }
    // A request with the relay's key in front of query.
    http_response_t call(const std::string &method, const std::string &path,
                         const std::string &query = "")
    {
        return http_request(relay.http_port, method, api_target(path, relay.api_key, query));
    }
    std::string get_body(const std::string &path, const std::string &query = "")
    {
        return call("GET", path, query).body;
    }
    void create_routes(int count)
    {
        for (int i = 0; i < count; i++)
            ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    }
    // Runs the rows in order; each reply must match, as JSON with its length and headers.
    void expect_calls(const std::vector<call_case_t> &rows)
    {
        for (const call_case_t &row : rows) {
            http_response_t response = call(row.method, row.path, row.query);
            std::string label = row.method + " " + row.path.substr(0, 60) + "?" + row.query;
            EXPECT_EQ(response.status, row.status) << label;
            EXPECT_EQ(response.body, row.body) << label;
            EXPECT_EQ(response.content_type, "application/json") << label;
            // No /api answer may be taken for a page.
            EXPECT_EQ(response.headers["x-content-type-options"], "nosniff") << label;
            EXPECT_EQ(response.headers["content-security-policy"],
                      "default-src 'none'; frame-ancestors 'none'")
                << label;
            EXPECT_EQ(response.headers["content-length"], std::to_string(row.body.size())) << label;
        }
    }

    std::string dir;
    relay_process_t relay;
    bool start_at_set_up = true;
    std::vector<int> sockets;
    std::deque<child_process_t> children; // references stay valid as it grows
};

// The same without a relay at SetUp: each test starts its own.
class idle_relay_fixture : public http_relay_fixture
{
  protected:
    idle_relay_fixture()
    {
        start_at_set_up = false;
    }
};
