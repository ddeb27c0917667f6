// Read endpoints over HTTP: route views, activity and statistics with live peers, log tail.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace
{

using http_read = http_relay_fixture;

// A listening endpoint on a free port, switched on.
std::string listen_query(int port)
{
    return "enabled=1&mode=listen&url=" + url_encode("srt://127.0.0.1:" + std::to_string(port));
}

// Views list the newest route first and targets in order. /api/all_info is the route
// file's text, whole even far beyond one 4096-byte reply buffer.
TEST_F(http_read, views_list_newest_route_first_and_all_info_comes_whole)
{
    const std::string route_101 =
        "{\"source_id\":101,\"enabled\":0,\"mode\":\"pull\",\"url\":\"srt://h:1\"}";
    expect_calls({
        {"GET", "/api/all_info", "", 200, "{}"},
        {"GET", "/api/routes", "", 200, "{}"},
        {"GET", "/api/routes/100/source", "", 200, "{}"},
        {"GET", "/api/routes/100/targets", "", 200, "{}"},
        {"GET", "/api/active_routes", "", 200, "[]"},
        {"GET", "/api/routes/100/active_targets", "", 200, "[]"},
        {"GET", "/api/stats", "", 200, "{}"},
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":100}"},
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":101}"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1001}"},
        {"PUT", "/api/routes/100/targets/1001", "enabled=0&mode=rendezvous&url=srt://h:2", 200,
         "Ok"},
        {"PUT", "/api/routes/101/source", "enabled=0&mode=pull&url=srt://h:1", 200, "Ok"},
        {"GET", "/api/routes", "", 200, "{\"101\":{\"enabled\":0},\"100\":{\"enabled\":0}}"},
        {"GET", "/api/routes/101/source", "", 200, route_101},
        {"GET", "/api/routes/abc/source", "", 200, "{}"},
        {"GET", "/api/routes/100/targets", "", 200,
         "{\"1000\":{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"},"
         "\"1001\":{\"enabled\":0,\"mode\":\"rendezvous\",\"url\":\"srt://h:2\"}}"},
        {"GET", "/api/routes/101/targets", "", 200, "{}"},
    });
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    std::string key = "?api_key=" + relay.api_key;
    for (int id = 102; id < 300; id++) {
        ASSERT_EQ(http_exchange(connection, "POST", "/api/routes/route" + key).status, 200);
        ASSERT_EQ(http_exchange(connection, "PUT",
                                "/api/routes/" + std::to_string(id) + "/source" + key +
                                    "&enabled=0&mode=pull&url=srt%3A%2F%2Fh%3A" +
                                    std::to_string(id) + "%3Fstreamid%3Droute")
                      .body,
                  "Ok");
    }
    http_response_t response = http_exchange(connection, "GET", "/api/all_info" + key);
    http_disconnect(connection);
    EXPECT_GT(response.body.size(), 4u * 4096);
    EXPECT_EQ(response.headers["content-length"], std::to_string(response.body.size()));
    json_t *document = parse_json_body(response.body);
    EXPECT_EQ(json_object_size(document), 200u);
    json_decref(document);
    EXPECT_EQ(response.body, read_text_file(relay.config_path));
}

// One route with a publisher on its listening source and two subscribers on its
// listening target: which routes and targets are active, and which stats are selected.
TEST_F(http_read, activity_and_stats_with_live_peers)
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
    EXPECT_TRUE(wait_until([&] { return get_body("/api/active_routes") == "[100]"; }, 15000));
    EXPECT_TRUE(
        wait_until([&] { return get_body("/api/routes/100/active_targets") == "[1000]"; }, 15000));
    EXPECT_TRUE(wait_until(
        [&] {
            return get_body("/api/stats", "route_id=100&target_id=1000")
                       .find("\"subscribers\":2}") != std::string::npos;
        },
        15000));
    // is_source 1 selects the source whatever target_id says; 0, absent or not a number
    // with a target_id selects that target; anything else gives {}. Subscribers show
    // only where someone listens.
    const std::pair<std::string, std::string> selected[] = {
        {"route_id=100", "{}"},
        {"route_id=100&is_source=0", "{}"},
        {"route_id=100&is_source=2&target_id=1000", "{}"},
        {"route_id=&is_source=1", "{}"},
        {"is_source=1&target_id=1000", "{}"},
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
        if (c.second == "{}") {
            EXPECT_EQ(body, "{}") << c.first;
            continue;
        }
        ASSERT_TRUE(std::regex_match(body, match, figures)) << c.first << ": " << body;
        EXPECT_EQ(match[2].matched ? match[2].str() : "0", c.second) << c.first;
    }
    EXPECT_EQ(call("DELETE", "/api/routes/100").body, "Ok");
    EXPECT_EQ(get_body("/api/active_routes"), "[]");
    EXPECT_EQ(get_body("/api/routes/100/active_targets"), "[]");
    for (int sock : peers)
        srt_close(sock);
}

// The tail keeps whole pieces (lines, or 1023-byte parts of longer ones) while they fit
// within 3999 bytes, from the last 100 lines. The log folder comes from the environment
// and may hold shell characters.
TEST_F(http_read, logs_from_a_quoted_folder_return_whole_pieces_within_3999_bytes)
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
        {"", ""},
        {"-", ""},
    };
    stop_relay(relay);
    std::string odd = dir + "/it's $(logs)";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    start({{"MIREVO_LOG_DIR", odd}});
    EXPECT_NE(get_body("/api/logs").find("Server was successfully initialized"), std::string::npos);
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
        EXPECT_EQ(response.content_type, "text/html; charset=utf-8");
        EXPECT_TRUE(response.body == c.body) << c.file.size() << " bytes: " << response.body.size();
    }
}

} // namespace
