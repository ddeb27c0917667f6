// Routes sharing a publishers' and a players' port; the caller's stream id picks the route.
#include <arpa/inet.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

using shared_ports = http_relay_fixture;

// Which publisher a message on sock came from: its numbers start at a million times its index.
int64_t stream_of(int sock)
{
    int64_t seq = receive_seq(sock, 3000);
    return seq < 0 ? -1 : seq / 1000000;
}

// Each player gets its route's stream in either id form; a deleted route leaves the port serving.
TEST_F(shared_ports, stream_id_picks_the_route_and_a_deleted_route_leaves_the_port_serving)
{
    int publish_port = free_udp_port(), play_port = free_udp_port();
    create_routes(3);
    for (const auto &[route, target] : {std::make_pair(100, 1000), std::make_pair(101, 1001)}) {
        std::string id = "cam" + std::to_string(route);
        std::string path = "/api/routes/" + std::to_string(route);
        ASSERT_EQ(call("PUT", path + "/source", listen_query(publish_port, "?streamid=" + id)).body,
                  "Ok");
        ASSERT_EQ(call("POST", path + "/targets").status, 200);
        ASSERT_EQ(call("PUT", path + "/targets/" + std::to_string(target),
                       listen_query(play_port, "?streamid=" + id))
                      .body,
                  "Ok");
    }
    std::string stored = read_text_file(relay.config_path);
    http_response_t taken =
        call("PUT", "/api/routes/102/source", listen_query(play_port, "?streamid=cam101"));
    EXPECT_EQ(taken.body, "{\"error\":\"Stream id cam101 is already served on port " +
                              std::to_string(play_port) + "\"}");
    EXPECT_EQ(read_text_file(relay.config_path), stored);
    // A third endpoint keeps the players' port shared once the second route is gone.
    ASSERT_EQ(
        call("PUT", "/api/routes/102/source", listen_query(play_port, "?streamid=spare")).body,
        "Ok");

    int first = caller(publish_port, "cam100");
    int second = caller(publish_port, "#!::r=cam101,m=publish,bmd_uuid=42");
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    peer_t one(first, 100), two(second, 100, 1000000);
    int player_one = caller(play_port, "cam100");
    int player_two = caller(play_port, "#!::r=cam101,m=request");
    EXPECT_EQ(stream_of(player_one), 0);
    EXPECT_EQ(stream_of(player_two), 1);
    EXPECT_NE(get_body("/api/connections", "route_id=101&target_id=1001").find("\"peer\""),
              std::string::npos);

    std::atomic<bool> knocking{true};
    std::atomic<int> knocks{0};
    std::thread knocker([&] {
        while (knocking) {
            int sock = srt_open_caller(play_port, "cam101", 1000);
            if (sock != -1)
                srt_close(sock);
            knocks++;
        }
    });
    ASSERT_EQ(call("OPTIONS", "/api/routes/101", "enabled=0").body, "Ok");
    ASSERT_EQ(call("OPTIONS", "/api/routes/101", "enabled=1").body, "Ok");
    ASSERT_EQ(call("DELETE", "/api/routes/101").body, "Ok");
    int before = knocks;
    EXPECT_TRUE(wait_until([&] { return knocks > before + 5; }, 5000));
    knocking = false;
    knocker.join();
    int reason = 0;
    EXPECT_EQ(caller(play_port, "cam101", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_NOTFOUND);
    EXPECT_GT(wait_metric("mirevo_connections_rejected_total{port=\"" + std::to_string(play_port) +
                              "\",reason=\"notfound\"}",
                          1),
              0);
    EXPECT_EQ(stream_of(player_one), 0) << "the first route serves on";
    EXPECT_EQ(stream_of(caller(play_port, "cam100")), 0);
}

// IPv4 and IPv6 players of a [::] target get an IPv6 publisher's stream; peers shown as seen.
TEST_F(shared_ports, ipv6_endpoints_serve_both_families_and_show_peers_as_they_are)
{
    int source_port = free_udp_port(), target_port = free_udp_port(), push_port = free_udp_port();
    int listener = srt_open_listener(push_port, AF_INET6);
    ASSERT_NE(listener, -1);
    keep(listener);
    create_routes(1);
    ASSERT_EQ(
        call("PUT", "/api/routes/100/source",
             "enabled=1&mode=listen&url=" + url_encode("srt://[::]:" + std::to_string(source_port)))
            .body,
        "Ok");
    for (const std::string &url : {"srt://[::]:" + std::to_string(target_port),
                                   "srt://[::1]:" + std::to_string(push_port)}) {
        ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
        bool push = url.find("::1") != std::string::npos;
        ASSERT_EQ(call("PUT",
                       push ? "/api/routes/100/targets/1001" : "/api/routes/100/targets/1000",
                       std::string("enabled=1&mode=") + (push ? "push" : "listen") +
                           "&url=" + url_encode(url))
                      .body,
                  "Ok");
    }
    int publisher = caller(source_port, "", nullptr, AF_INET6);
    ASSERT_NE(publisher, -1);
    peer_t sending(publisher, 100);
    int v4 = caller(target_port, ""), v6 = caller(target_port, "", nullptr, AF_INET6);
    int pushed = srt_accept_one(listener, 5000);
    keep(pushed);
    for (int sock : {v4, v6, pushed})
        EXPECT_EQ(stream_of(sock), 0);

    std::string connections = get_body("/api/connections", "route_id=100");
    for (int sock : {publisher, v4, v6}) {
        struct sockaddr_storage local;
        int length = (int)sizeof local;
        ASSERT_EQ(srt_getsockname(sock, (struct sockaddr *)&local, &length), 0);
        std::string port = std::to_string(ntohs(((struct sockaddr_in *)&local)->sin_port));
        std::string peer = sock == v4 ? "127.0.0.1:" + port : "[::1]:" + port;
        EXPECT_NE(connections.find("\"peer\":\"" + peer + "\""), std::string::npos) << peer;
    }
    EXPECT_NE(connections.find("\"peer\":\"[::1]:" + std::to_string(push_port) + "\""),
              std::string::npos)
        << connections;
    EXPECT_EQ(connections.find("::ffff:"), std::string::npos);
}

} // namespace
