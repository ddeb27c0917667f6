// Route editing endpoints over HTTP: every row of the table, its failures and the mode names.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http_client.h"

namespace
{

std::string error_body(const std::string &text)
{
    return "{\"error\":\"" + text + "\"}";
}

std::string encoded_url(int port)
{
    return url_encode("srt://127.0.0.1:" + std::to_string(port));
}

using http_edit = http_relay_fixture;

// Each row depends on the ones before it; after each, success or failure, the route file
// holds what /api/all_info shows. The last rows meet a port held by another socket: the
// client reads the reason and the views show the state the failure left.
TEST_F(http_edit, rows_with_their_failures_keep_the_file_equal_to_the_registry)
{
    int busy_port = free_udp_port();
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)busy_port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, (struct sockaddr *)&addr, sizeof addr), 0);
    const std::string source = "enabled=1&mode=pull&url=" + encoded_url(free_udp_port());
    const std::string target = "enabled=1&mode=push&url=" + encoded_url(free_udp_port());
    const std::string busy = "enabled=1&mode=listen&url=" + encoded_url(busy_port);
    const std::string not_found = error_body("Not Found");
    const std::string missing = error_body("enabled, mode and url setting not found");
    const std::string same = error_body("Same configration exist");
    const std::string no_source = error_body("Source(999) does not fouond");
    const std::string no_target = error_body("Target(1002) on route(100) does not fouond");
    const std::string no_enabled = error_body("enabled setting not found");
    const std::vector<call_case_t> rows = {
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":100}"},
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":101}"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"POST", "/api/routes/101/targets", "", 200, "{\"target_id\":1001}"},
        {"POST", "/api/routes/999/targets", "", 555, error_body("Can not create route")},
        {"POST", "/api/routes/abc/targets", "", 555, error_body("Can not create route")},
        {"DELETE", "/api/routes/100/targets/1001", "", 555, not_found},
        {"DELETE", "/api/routes/100/targets/1000", "", 200, "Ok"},
        {"DELETE", "/api/routes/100/targets/1000", "", 555, not_found},
        {"DELETE", "/api/routes/abc", "", 555, not_found},
        {"DELETE", "/api/routes/101", "", 200, "Ok"},
        {"DELETE", "/api/routes/101", "", 555, not_found},
        {"DELETE", "/api/routes/101/targets/1001", "", 555, not_found},
        {"OPTIONS", "/api/routes/100", "", 555, no_enabled},
        {"OPTIONS", "/api/routes/100", "enabled=", 555, no_enabled},
        {"OPTIONS", "/api/routes/999", "enabled=1", 555, no_source},
        {"OPTIONS", "/api/routes/100", "enabled=0", 555, same},
        {"PUT", "/api/routes/100/source", "mode=pull&url=srt://h:1", 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&url=srt://h:1", 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&mode=pull", 555, missing},
        {"PUT", "/api/routes/999/source", source, 555, no_source},
        {"PUT", "/api/routes/100/source", source, 200, "Ok"},
        {"PUT", "/api/routes/100/source", source, 555, same},
        {"OPTIONS", "/api/routes/100", "enabled=7", 555, same},
        // atoi("true") is 0: the word switches the source off.
        {"OPTIONS", "/api/routes/100", "enabled=true", 200, "Ok"},
        {"OPTIONS", "/api/routes/100", "enabled=1", 200, "Ok"},
        {"PUT", "/api/routes/100/targets/1002", target, 555, no_target},
        {"OPTIONS", "/api/routes/100/targets/1002", "enabled=1", 555, no_target},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1002}"},
        {"OPTIONS", "/api/routes/100/targets/1002", "", 555, no_enabled},
        {"OPTIONS", "/api/routes/100/targets/1002", "enabled=0", 555, same},
        {"PUT", "/api/routes/100/targets/1002", "enabled=1&mode=push", 555, missing},
        {"PUT", "/api/routes/100/targets/1002", target, 200, "Ok"},
        {"PUT", "/api/routes/100/targets/1002", target, 555, same},
        {"OPTIONS", "/api/routes/100/targets/1002", "enabled=0", 200, "Ok"},
        {"OPTIONS", "/api/routes/100/targets/1002", "enabled=1", 200, "Ok"},
        {"PUT", "/api/routes/100/targets/1002", busy, 555,
         error_body("Creating Target's SRT Socket failed")},
        {"PUT", "/api/routes/100/source", busy, 555,
         error_body("Creating source's SRT Socket failed")},
    };
    for (const call_case_t &row : rows) {
        expect_calls({row});
        EXPECT_EQ(read_text_file(relay.config_path), get_body("/api/all_info")) << row.path;
    }
    // Both keep the new mode and URL; the failed target also keeps its switch.
    std::string stored =
        "\"mode\":\"listen\",\"url\":\"srt://127.0.0.1:" + std::to_string(busy_port) + "\"";
    EXPECT_NE(get_body("/api/routes/100/source").find(stored), std::string::npos);
    EXPECT_EQ(get_body("/api/routes/100/targets"), "{\"1002\":{\"enabled\":1," + stored + "}}");
    close(holder);
}

// Disabled endpoints, so the mode is stored without opening a socket; each call has its
// own URL so it never counts as the same configuration. A value keeps every '=' after
// the first one, and an encoded '&', as sent.
TEST_F(http_edit, mode_names_of_sources_and_targets)
{
    const struct {
        const char *given, *source, *target; // the name sent, and read back per side
    } cases[] = {{"pull", "pull", "listen"},
                 {"Pull", "pull", "listen"},
                 {"PULL", "listen", "listen"},
                 {"push", "listen", "push"},
                 {"Push", "listen", "push"},
                 {"PUSH", "listen", "listen"},
                 {"rendezvous", "rendezvous", "rendezvous"},
                 {"Rendezvous", "rendezvous", "rendezvous"},
                 {"caller", "listen", "listen"}};
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    int index = 0;
    for (const auto &c : cases) {
        for (bool target : {false, true}) {
            std::string url = "srt://127.0.0.1:9?streamid=m=" + std::to_string(index++);
            url += target ? "&latency=200" : "";
            std::string path = target ? "/api/routes/100/targets/1000" : "/api/routes/100/source";
            EXPECT_EQ(call("PUT", path,
                           "enabled=0&mode=" + std::string(c.given) +
                               "&url=" + (target ? url_encode(url) : url))
                          .body,
                      "Ok");
            std::string view = get_body(target ? "/api/routes/100/targets" : path);
            std::string stored = std::string("\"enabled\":0,\"mode\":\"") +
                                 (target ? c.target : c.source) + "\",\"url\":\"" + url + "\"";
            EXPECT_NE(view.find(stored), std::string::npos) << c.given << ": " << view;
        }
    }
}

} // namespace
