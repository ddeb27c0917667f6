// Read endpoints over HTTP: route views, activity and statistics with live peers, log tail.
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
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

struct view_case_t {
    std::string path;
    std::string empty;  // before anything is configured
    std::string filled; // after; "-": not checked
};

TEST_F(http_read, views_list_newest_route_first_and_targets_in_order)
{
    const std::vector<view_case_t> cases = {
        {"/api/all_info", "{}", "-"},
        {"/api/routes", "{}", "{\"101\":{\"enabled\":0},\"100\":{\"enabled\":0}}"},
        {"/api/active_routes", "[]", "[]"},
        {"/api/routes/101/source", "{}",
         "{\"source_id\":101,\"enabled\":0,\"mode\":\"pull\",\"url\":\"srt://h:1\"}"},
        {"/api/routes/abc/source", "{}", "{}"},
        {"/api/routes/100/targets", "{}",
         "{\"1000\":{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"},"
         "\"1001\":{\"enabled\":0,\"mode\":\"rendezvous\",\"url\":\"srt://h:2\"}}"},
        {"/api/routes/101/targets", "{}", "{}"},
        {"/api/routes/100/active_targets", "[]", "[]"},
        {"/api/stats", "{}", "-"},
    };
    std::vector<call_case_t> before, after;
    for (const view_case_t &test : cases) {
        before.push_back({"GET", test.path, "", 200, test.empty});
        if (test.filled != "-")
            after.push_back({"GET", test.path, "", 200, test.filled});
    }
    expect_calls(before);
    create_routes(2);
    expect_calls({
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1001}"},
        {"PUT", "/api/routes/100/targets/1001", "enabled=0&mode=rendezvous&url=srt://h:2", 200,
         "Ok"},
        {"PUT", "/api/routes/101/source", "enabled=0&mode=pull&url=srt://h:1", 200, "Ok"},
    });
    expect_calls(after);
    std::string all_info = get_body("/api/all_info");
    EXPECT_EQ(all_info.find("{\"101\":"), 0u);
    // The same text the configuration file holds for the same registry.
    EXPECT_EQ(all_info, read_text_file(relay.config_path));
}

// Far beyond one 4096-byte reply buffer: the body must arrive whole.
TEST_F(http_read, all_info_with_hundreds_of_routes_is_complete_json)
{
    const int routes = 200;
    http_connection_t connection;
    ASSERT_TRUE(http_connect(connection, relay.http_port));
    std::string key = "?api_key=" + relay.api_key;
    for (int i = 0; i < routes; i++) {
        std::string id = std::to_string(100 + i);
        ASSERT_EQ(http_exchange(connection, "POST", "/api/routes/route" + key).status, 200);
        ASSERT_EQ(http_exchange(connection, "PUT",
                                "/api/routes/" + id + "/source" + key +
                                    "&enabled=0&mode=rendezvous&url=srt%3A%2F%2F127.0.0.1%3A" +
                                    std::to_string(10000 + i) + "%3Fstreamid%3Droute-" + id)
                      .body,
                  "Ok");
    }
    http_response_t response = http_exchange(connection, "GET", "/api/all_info" + key);
    http_disconnect(connection);
    ASSERT_EQ(response.status, 200);
    EXPECT_GT(response.body.size(), 20000u);
    EXPECT_EQ(response.headers["content-length"], std::to_string(response.body.size()));
    json_t *document = parse_json_body(response.body);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(json_object_size(document), (size_t)routes);
    EXPECT_STREQ(json_string_value(json_object_get(json_object_get(document, "100"), "url")),
                 "srt://127.0.0.1:10000?streamid=route-100");
    json_decref(document);
    EXPECT_EQ(response.body, read_text_file(relay.config_path));
}

// One route forwarding from a listening source to a listening target with two
// subscribers, while the API is read and edited around it.
TEST_F(http_read, activity_and_stats_while_a_stream_is_forwarded)
{
    create_routes(2);
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    ASSERT_EQ(call("PUT", "/api/routes/100/source", listen_query(source_port)).body, "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").body, "{\"target_id\":1000}");
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000", listen_query(target_port)).body, "Ok");

    int publisher = srt_open_caller(source_port);
    int subscribers[2] = {srt_open_caller(target_port), srt_open_caller(target_port)};
    ASSERT_GE(publisher, 0);
    ASSERT_GE(subscribers[0], 0);
    ASSERT_GE(subscribers[1], 0);
    EXPECT_TRUE(wait_until([&] { return get_body("/api/active_routes") == "[100]"; }, 15000));
    EXPECT_TRUE(
        wait_until([&] { return get_body("/api/routes/100/active_targets") == "[1000]"; }, 15000));
    EXPECT_TRUE(wait_until(
        [&] {
            return get_body("/api/stats", "route_id=100&target_id=1000")
                       .find("\"subscribers\":2}") != std::string::npos;
        },
        15000));

    std::atomic<bool> sending{true};
    std::thread sender([&] {
        char message[1316];
        memset(message, 'm', sizeof message);
        while (sending && srt_sendmsg(publisher, message, sizeof message, -1, 1) != SRT_ERROR)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    auto both_receive = [&] {
        char buf[1500];
        for (int sock : subscribers)
            EXPECT_GT(srt_receive(sock, buf, sizeof buf, 5000), 0);
    };
    both_receive();

    expect_calls({
        {"GET", "/api/stats", "route_id=100", 200, "{}"},
        {"GET", "/api/stats", "route_id=100&is_source=0", 200, "{}"},
        {"GET", "/api/stats", "route_id=100&is_source=2&target_id=1000", 200, "{}"},
        {"GET", "/api/stats", "route_id=&is_source=1", 200, "{}"},
        {"GET", "/api/stats", "is_source=1&target_id=1000", 200, "{}"},
        {"GET", "/api/stats", "route_id=999&is_source=1", 200, "{}"},
        {"GET", "/api/stats", "route_id=100&target_id=4242", 200, "{}"},
        {"GET", "/api/stats", "route_id=101&target_id=1000", 200, "{}"},
    });
    // Selected endpoints show their figures; subscribers only where someone listens.
    const std::regex figures("\\{\"pktLossTotal\":\\d+,\"pktLoss\":\\d+,\"msRTT\":\\d+"
                             "(,\"subscribers\":(\\d+))?\\}");
    const std::pair<std::string, int> selected[] = {
        {"route_id=100&is_source=1", 1},
        {"route_id=100&is_source=1&target_id=1000", 1},
        {"route_id=100&target_id=1000", 2},
        {"route_id=100&is_source=0&target_id=1000", 2},
        {"route_id=100&is_source=abc&target_id=1000", 2},
        {"route_id=101&is_source=1", 0},
    };
    for (const auto &test : selected) {
        std::string body = get_body("/api/stats", test.first);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(body, match, figures)) << test.first << ": " << body;
        EXPECT_EQ(match[2].matched ? match[2].str() : "0", std::to_string(test.second))
            << test.first;
    }

    // Edits of the live route and of its neighbour while messages flow.
    ASSERT_EQ(call("PUT", "/api/routes/101/source", listen_query(free_udp_port())).body, "Ok");
    for (int round = 0; round < 10; round++) {
        EXPECT_EQ(call("POST", "/api/routes/100/targets").status, 200);
        EXPECT_EQ(call("DELETE", "/api/routes/100/targets/" + std::to_string(1001 + round)).body,
                  "Ok");
        EXPECT_EQ(call("OPTIONS", "/api/routes/101", "enabled=" + std::to_string(round % 2)).status,
                  200);
        EXPECT_EQ(call("GET", "/api/all_info").status, 200);
    }
    both_receive();

    EXPECT_EQ(call("DELETE", "/api/routes/100").body, "Ok");
    EXPECT_EQ(get_body("/api/active_routes"), "[]");
    EXPECT_EQ(get_body("/api/routes/100/active_targets"), "[]");
    sending = false;
    sender.join();
    srt_close(publisher);
    srt_close(subscribers[0]);
    srt_close(subscribers[1]);
}

std::string lines_of(int count, size_t length, char fill)
{
    std::string text;
    for (int i = 0; i < count; i++)
        text += std::string(length - 1, fill) + "\n";
    return text;
}

struct log_case_t {
    const char *name;
    std::string file; // "-": no file at all
    std::string body;
};

TEST_F(http_read, logs_from_a_quoted_folder_return_whole_pieces_within_3999_bytes)
{
    std::string exactly = lines_of(39, 100, 'a') + lines_of(1, 99, 'b');
    std::string over = lines_of(39, 100, 'a') + lines_of(1, 100, 'b');
    std::string long_line = std::string(4000, 'L') + "\n";
    std::string many;
    for (int i = 0; i < 150; i++)
        many += "line " + std::to_string(i) + "\n";
    const std::vector<log_case_t> cases = {
        {"fills exactly 3999", exactly + "next\n", exactly},
        {"one byte over drops the line and the rest", over + "next\n", lines_of(39, 100, 'a')},
        {"long line cut after its last fitting piece", lines_of(1, 401, 's') + long_line,
         lines_of(1, 401, 's') + long_line.substr(0, 3 * 1023)},
        {"last 100 lines only", many, many.substr(many.find("line 50\n"))},
        {"empty file", "", ""},
        {"no file", "-", ""},
    };
    // The log folder comes from the environment and may hold shell characters.
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
    for (const log_case_t &test : cases) {
        if (test.file == "-")
            unlink(path.c_str());
        else
            write_text_file(path, test.file);
        http_response_t response = call("GET", "/api/logs");
        EXPECT_EQ(response.status, 200) << test.name;
        EXPECT_EQ(response.content_type, "text/html; charset=utf-8") << test.name;
        EXPECT_EQ(response.body.size(), test.body.size()) << test.name;
        EXPECT_TRUE(response.body == test.body) << test.name;
    }
}

} // namespace
