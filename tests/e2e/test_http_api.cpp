// The API over HTTP: editing rows with their failures, mode names, activity, stats, log tail.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

static std::string error_body(const std::string &text)
{
    return "{\"error\":\"" + text + "\"}";
}

static std::string encoded_url(int port)
{
    return url_encode("srt://127.0.0.1:" + std::to_string(port));
}

using http_api = http_relay_fixture;

// Rows share a kept-alive connection; after each the file holds what /api/all_info shows.
TEST_F(http_api, rows_with_their_failures_keep_the_file_equal_to_the_registry)
{
    int busy_port = free_udp_port();
    int holder = hold_port(busy_port, SOCK_DGRAM);
    ASSERT_NE(holder, -1);
    int source_port = free_udp_port();
    const std::string source = "enabled=1&mode=pull&url=" + encoded_url(source_port);
    const std::string target = "enabled=1&mode=push&url=" + encoded_url(free_udp_port());
    const std::string busy = listen_query(busy_port);
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
        {"DELETE", "/api/routes/100/targets/1001", "", 555, not_found},
        {"DELETE", "/api/routes/100/targets/1000", "", 200, "Ok"},
        {"DELETE", "/api/routes/100/targets/1000", "", 555, not_found},
        {"DELETE", "/api/routes/101", "", 200, "Ok"},
        {"DELETE", "/api/routes/101", "", 555, not_found},
        {"GET", "/api/routes/101/targets", "", 200, "{}"},
        {"GET", "/api/routes/abc/source", "", 200, "{}"},
        {"OPTIONS", "/api/routes/100", "", 555, no_enabled},
        {"OPTIONS", "/api/routes/999", "enabled=1", 555, no_source},
        {"OPTIONS", "/api/routes/100", "enabled=0", 555, same},
        {"PUT", "/api/routes/100/source", "mode=pull&url=srt://h:1", 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&url=srt://h:1", 555, missing},
        {"PUT", "/api/routes/100/source", "enabled=1&mode=pull", 555, missing},
        {"PUT", "/api/routes/999/source", source, 555, no_source},
        {"PUT", "/api/routes/100/source", source, 200, "Ok"},
        {"PUT", "/api/routes/100/source", source, 555, same},
        {"OPTIONS", "/api/routes/100", "enabled=7", 555, same},
        {"OPTIONS", "/api/routes/100", "enabled=0", 200, "Ok"},
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
        // The source would share the busy port with target 1002 under the same (empty) id.
        {"PUT", "/api/routes/100/source", busy, 555,
         error_body("Stream id  is already served on port " + std::to_string(busy_port))},
        {"PUT", "/api/routes/100/source", listen_query(source_port), 555,
         error_body("Creating target's SRT Socket failed: 1002")},
        // A URL without "://" changes nothing: the source below still listens.
        {"PUT", "/api/routes/100/source", "enabled=1&mode=listen&url=0.0.0.0:9001", 555,
         error_body("Invalid URL: No scheme found.")},
        {"PUT", "/api/routes/100/targets/1002", "enabled=1&mode=push&url=127.0.0.1:9001", 555,
         error_body("Invalid URL: No scheme found.")},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1003}"},
    };
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    for (const call_case_t &row : rows) {
        std::string target = api_target(row.path, relay.api_key, row.query);
        http_response_t response = http_exchange(connection, row.method, target);
        EXPECT_EQ(response.status, row.status) << row.method << " " << target;
        EXPECT_EQ(response.body, row.body) << row.method << " " << target;
        EXPECT_EQ(read_text_file(relay.config_path), get_body("/api/all_info")) << target;
    }
    http_disconnect(connection);
    // The failed target keeps its settings and does not stop the source.
    EXPECT_EQ(get_body("/api/routes/100/targets"),
              "{\"1002\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"srt://:" +
                  std::to_string(busy_port) +
                  "\"},\"1003\":{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}}");
    int caller = srt_open_caller(source_port);
    EXPECT_NE(caller, -1);
    srt_close(caller);
    // Newest route first; /api/all_info comes whole past one reply buffer.
    create_routes(198);
    EXPECT_EQ(get_body("/api/routes").find("{\"299\":{\"enabled\":0},\"298\":"), 0u);
    http_response_t all_info = call("GET", "/api/all_info");
    EXPECT_GT(all_info.body.size(), 3u * 4096);
    EXPECT_EQ(all_info.body, read_text_file(relay.config_path));
    close(holder);
}

// Active routes and targets, and which stats are selected, with live peers.
TEST_F(http_api, activity_and_stats_with_live_peers)
{
    create_routes(2);
    int source_port = free_udp_port(), target_port = free_udp_port();
    expect_calls({{"PUT", "/api/routes/100/source", listen_query(source_port), 200, "Ok"},
                  {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
                  {"PUT", "/api/routes/100/targets/1000", listen_query(target_port), 200, "Ok"},
                  {"PUT", "/api/routes/101/source", listen_query(free_udp_port()), 200, "Ok"}});
    int peers[3] = {srt_open_caller(source_port), srt_open_caller(target_port),
                    srt_open_caller(target_port)};
    for (int sock : peers)
        EXPECT_NE(sock, -1);
    EXPECT_TRUE(wait_until(
        [&] {
            return get_body("/api/active_routes") == "[100]" &&
                   get_body("/api/routes/100/active_targets") == "[1000]" &&
                   get_body("/api/stats", "route_id=100&target_id=1000")
                           .find("\"subscribers\":2}") != std::string::npos;
        },
        15000));
    // is_source 1: the source; 0, absent or junk with target_id: that target; else {}.
    const std::pair<std::string, std::string> selected[] = {
        {"route_id=100", "{}"},
        {"route_id=100&is_source=2&target_id=1000", "{}"},
        {"route_id=&is_source=1", "{}"},
        {"route_id=999&is_source=1", "{}"},
        {"route_id=100&target_id=4242", "{}"},
        {"route_id=101&target_id=1000", "{}"},
        {"route_id=100&is_source=1&target_id=1000", "1"},
        {"route_id=100&is_source=0&target_id=1000", "2"},
        {"route_id=100&is_source=abc&target_id=1000", "2"},
        {"route_id=101&is_source=1", "0"},
    };
    const std::regex figures("\\{\"pktLossTotal\":\\d+,\"pktLoss\":\\d+,\"msRTT\":\\d+"
                             "(,\"subscribers\":(\\d+))?\\}");
    for (const auto &c : selected) {
        std::string body = get_body("/api/stats", c.first);
        std::smatch match;
        EXPECT_TRUE(c.second == "{}" ? body == "{}"
                                     : std::regex_match(body, match, figures) &&
                                           (match[2].matched ? match[2].str() : "0") == c.second)
            << c.first << ": " << body;
    }
    EXPECT_EQ(call("DELETE", "/api/routes/100").body, "Ok");
    EXPECT_EQ(get_body("/api/active_routes"), "[]");
    EXPECT_EQ(get_body("/api/routes/100/active_targets"), "[]");
    for (int sock : peers)
        srt_close(sock);
}

// The tail keeps whole pieces within 3999 bytes, from a folder with shell characters.
TEST_F(http_api, logs_from_a_quoted_folder_return_whole_pieces_within_3999_bytes)
{
    const std::string b98 = std::string(98, 'b') + "\n";
    const std::string long_line = std::string(4000, 'L') + "\n", s400 = std::string(400, 's');
    std::string full, many; // 39 lines of 100 bytes; 150 numbered lines
    for (int i = 0; i < 150; i++) {
        full += i < 39 ? std::string(99, 'a') + "\n" : "";
        many += "line " + std::to_string(i) + "\n";
    }
    const struct {
        std::string file, body; // file "-": no file at all
    } cases[] = {
        {full + b98 + "next\n", full + b98},
        {full + "b" + b98 + "next\n", full},
        {s400 + "\n" + long_line, s400 + "\n" + long_line.substr(0, 3 * 1023)},
        {many, many.substr(many.find("line 50\n"))},
        {"-", ""},
    };
    stop_relay(relay);
    std::string odd = dir + "/it's $(logs)";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    start({{"MIREVO_LOG_DIR", odd}});
    EXPECT_TRUE(wait_until(
        [&] {
            return get_body("/api/logs").find("Server was successfully initialized") !=
                   std::string::npos;
        },
        5000));
    // Nothing else is logged while no route exists, so today's file is ours.
    char day[16];
    time_t now = time(nullptr);
    struct tm parts;
    strftime(day, sizeof day, "%Y%m%d", gmtime_r(&now, &parts));
    std::string path = odd + "/mirevo-" + day + ".log";
    for (const auto &c : cases) {
        if (c.file == "-")
            unlink(path.c_str());
        else
            write_text_file(path, c.file);
        http_response_t response = call("GET", "/api/logs");
        // Log text is never markup, whatever a stream id or URL in it holds.
        EXPECT_EQ(response.content_type, "text/plain; charset=utf-8");
        EXPECT_EQ(response.headers["x-content-type-options"], "nosniff");
        EXPECT_TRUE(response.body == c.body) << c.file.size() << " bytes: " << response.body.size();
    }
}
