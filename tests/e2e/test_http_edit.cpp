// Route editing endpoints over HTTP: every row of the table, its failures and the mode names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http_client.h"

namespace {

class http_edit : public http_relay_fixture {
  protected:
    std::string error_body(const std::string &text) {
        return "{\"error\":\"" + text + "\"}";
    }
};

struct call_case_t {
    std::string method;
    std::string path;
    std::string query;
    int status;
    std::string body;
};

void run_calls(int port, const std::string &key, const std::vector<call_case_t> &cases) {
    for (const call_case_t &test : cases) {
        http_response_t response =
            http_request(port, test.method, api_target(test.path, key, test.query));
        std::string label = test.method + " " + test.path + "?" + test.query;
        EXPECT_EQ(response.status, test.status) << label;
        EXPECT_EQ(response.body, test.body) << label;
        EXPECT_EQ(response.content_type, "application/json") << label;
    }
}

// The calls run in order; each row depends on the ones before it.
TEST_F(http_edit, create_and_delete_rows_with_their_failures) {
    const std::vector<call_case_t> cases = {
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":100}"},
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":101}"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"POST", "/api/routes/101/targets", "", 200, "{\"target_id\":1001}"},
        {"POST", "/api/routes/999/targets", "", 555, error_body("Can not create route")},
        {"POST", "/api/routes/abc/targets", "", 555, error_body("Can not create route")},
        {"DELETE", "/api/routes/100/targets/1001", "", 555, error_body("Not Found")},
        {"DELETE", "/api/routes/100/targets/1000", "", 200, "Ok"},
        {"DELETE", "/api/routes/100/targets/1000", "", 555, error_body("Not Found")},
        {"DELETE", "/api/routes/abc", "", 555, error_body("Not Found")},
        {"DELETE", "/api/routes/101", "", 200, "Ok"},
        {"DELETE", "/api/routes/101", "", 555, error_body("Not Found")},
        {"DELETE", "/api/routes/101/targets/1001", "", 555, error_body("Not Found")},
    };
    run_calls(relay.http_port, relay.api_key, cases);
    EXPECT_EQ(get_body("/api/all_info"),
              "{\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
              "\"targets\":{}}}");
    EXPECT_EQ(read_text_file(relay.config_path), get_body("/api/all_info"));
}

TEST_F(http_edit, switch_and_update_rows_with_their_failures) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    std::string source_url = url_encode("srt://127.0.0.1:" + std::to_string(source_port));
    std::string target_url = url_encode("srt://127.0.0.1:" + std::to_string(target_port));
    const std::string missing = error_body("enabled, mode and url setting not found");
    const std::string same = error_body("Same configration exist");
    const std::vector<call_case_t> cases = {
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":100}"},
        {"OPTIONS", "/api/routes/100", "", 555, error_body("enabled setting not found")},
        {"OPTIONS", "/api/routes/100", "enabled=", 555, error_body("enabled setting not found")},
        {"OPTIONS", "/api/routes/999", "enabled=1", 555, error_body("Source(999) does not fouond")},
        {"OPTIONS", "/api/routes/100", "enabled=0", 555, same},
        {"PUT", "/api/routes/100/source", "mode=pull&url=" + source_url, 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&url=" + source_url, 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&mode=pull", 555, missing},
        {"PUT", "/api/routes/999/source", "enabled=1&mode=pull&url=" + source_url, 555,
         error_body("Source(999) does not fouond")},
        {"PUT", "/api/routes/100/source", "enabled=1&mode=pull&url=" + source_url, 200, "Ok"},
        {"PUT", "/api/routes/100/source", "enabled=1&mode=pull&url=" + source_url, 555, same},
        {"OPTIONS", "/api/routes/100", "enabled=1", 555, same},
        // atoi("true") is 0: the word switches the source off.
        {"OPTIONS", "/api/routes/100", "enabled=true", 200, "Ok"},
        {"OPTIONS", "/api/routes/100", "enabled=1", 200, "Ok"},
        {"PUT", "/api/routes/100/targets/1000", "enabled=1&mode=push&url=" + target_url, 555,
         error_body("Target(1000) on route(100) does not fouond")},
        {"OPTIONS", "/api/routes/100/targets/1000", "enabled=1", 555,
         error_body("Target(1000) on route(100) does not fouond")},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"OPTIONS", "/api/routes/100/targets/1000", "", 555,
         error_body("enabled setting not found")},
        {"OPTIONS", "/api/routes/100/targets/1000", "enabled=0", 555, same},
        {"PUT", "/api/routes/100/targets/1000", "enabled=1&mode=push", 555, missing},
        {"PUT", "/api/routes/100/targets/1000", "enabled=1&mode=push&url=" + target_url, 200, "Ok"},
        {"PUT", "/api/routes/100/targets/1000", "enabled=1&mode=push&url=" + target_url, 555, same},
        {"OPTIONS", "/api/routes/100/targets/1000", "enabled=0", 200, "Ok"},
        {"OPTIONS", "/api/routes/100/targets/1000", "enabled=1", 200, "Ok"},
    };
    run_calls(relay.http_port, relay.api_key, cases);
    EXPECT_EQ(get_body("/api/routes/100/source"),
              "{\"source_id\":100,\"enabled\":1,\"mode\":\"pull\",\"url\":\"srt://127.0.0.1:" +
                  std::to_string(source_port) + "\"}");
    EXPECT_EQ(get_body("/api/routes/100/targets"),
              "{\"1000\":{\"enabled\":1,\"mode\":\"push\",\"url\":\"srt://127.0.0.1:" +
                  std::to_string(target_port) + "\"}}");
}

TEST_F(http_edit, put_traces_values_before_checking_them) {
    call("PUT", "/api/routes/100/source", "enabled=1&mode=pull");
    call("PUT", "/api/routes/100/targets/1000", "url=srt%3A%2F%2Fh%3A1&enabled=0");
    EXPECT_TRUE(wait_relay_output(relay, "=== update_source:1 pull \n", 5000));
    EXPECT_TRUE(wait_relay_output(relay, "=== update_target:0  srt://h:1\n", 5000));
}

// A query value keeps every '=' after the first one and is stored as sent.
TEST_F(http_edit, url_parameter_keeps_its_own_options) {
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    std::string url = "srt://127.0.0.1:" + std::to_string(free_udp_port()) + "?streamid=cam=1";
    http_response_t put = call("PUT", "/api/routes/100/source", "enabled=0&mode=listen&url=" + url);
    EXPECT_EQ(put.body, "Ok");
    EXPECT_EQ(get_body("/api/routes/100/source"),
              "{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"" + url + "\"}");

    std::string two_options = url + "&latency=200";
    put = call("PUT", "/api/routes/100/source",
               "enabled=0&mode=listen&url=" + url_encode(two_options));
    EXPECT_EQ(put.body, "Ok");
    EXPECT_EQ(get_body("/api/routes/100/source"),
              "{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"" + two_options +
                  "\"}");
}

struct mode_case_t {
    const char *given;
    const char *stored; // name read back, for the endpoint kind under test
};

TEST_F(http_edit, mode_names_of_sources_and_targets) {
    const std::vector<mode_case_t> source_modes = {
        {"pull", "pull"},
        {"Pull", "pull"},
        {"rendezvous", "rendezvous"},
        {"Rendezvous", "rendezvous"},
        {"listen", "listen"},
        {"LISTEN", "listen"},
        {"caller", "listen"},
        {"PULL", "listen"},
        {"push", "listen"},
    };
    const std::vector<mode_case_t> target_modes = {
        {"push", "push"},
        {"Push", "push"},
        {"rendezvous", "rendezvous"},
        {"Rendezvous", "rendezvous"},
        {"pull", "listen"},
        {"Pull", "listen"},
        {"caller", "listen"},
        {"PUSH", "listen"},
        {"listen", "listen"},
    };
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    // Disabled endpoints: the mode is stored without opening a socket. Each
    // case has its own URL so it never counts as the same configuration.
    int index = 0;
    for (const mode_case_t &test : source_modes) {
        std::string url = "srt://127.0.0.1:9?streamid=s" + std::to_string(index++);
        EXPECT_EQ(call("PUT", "/api/routes/100/source",
                       std::string("enabled=0&mode=") + test.given + "&url=" + url_encode(url))
                      .body,
                  "Ok")
            << test.given;
        EXPECT_EQ(get_body("/api/routes/100/source"),
                  std::string("{\"source_id\":100,\"enabled\":0,\"mode\":\"") + test.stored +
                      "\",\"url\":\"" + url + "\"}")
            << test.given;
    }
    for (const mode_case_t &test : target_modes) {
        std::string url = "srt://127.0.0.1:9?streamid=t" + std::to_string(index++);
        EXPECT_EQ(call("PUT", "/api/routes/100/targets/1000",
                       std::string("enabled=0&mode=") + test.given + "&url=" + url_encode(url))
                      .body,
                  "Ok")
            << test.given;
        EXPECT_EQ(get_body("/api/routes/100/targets"),
                  std::string("{\"1000\":{\"enabled\":0,\"mode\":\"") + test.stored +
                      "\",\"url\":\"" + url + "\"}}")
            << test.given;
    }
}

// A UDP port held by someone else: listening there cannot succeed.
int hold_udp_port(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The reason the operation left behind is what the client reads.
TEST_F(http_edit, socket_failures_answer_with_the_operation_reason) {
    int port = free_udp_port();
    int holder = hold_udp_port(port);
    ASSERT_GE(holder, 0);
    std::string busy = url_encode("srt://127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);

    http_response_t source =
        call("PUT", "/api/routes/100/source", "enabled=1&mode=listen&url=" + busy);
    EXPECT_EQ(source.status, 555);
    EXPECT_EQ(source.body, error_body("Creating source's SRT Socket failed"));

    http_response_t target =
        call("PUT", "/api/routes/100/targets/1000", "enabled=1&mode=listen&url=" + busy);
    EXPECT_EQ(target.status, 555);
    EXPECT_EQ(target.body, error_body("Creating Target's SRT Socket failed"));
    close(holder);
}

} // namespace
