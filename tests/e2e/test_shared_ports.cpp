// Many streams on one port: routes share a publishers' port and a players' port, and the
// caller's stream id picks the route.
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

class shared_ports : public http_relay_fixture
{
  protected:
    void TearDown() override
    {
        for (int sock : sockets_)
            srt_close(sock);
        http_relay_fixture::TearDown();
    }
    std::string listen_query(int port, const std::string &streamid)
    {
        return "enabled=1&mode=listen&url=" +
               url_encode("srt://:" + std::to_string(port) + "?streamid=" + streamid);
    }
    int caller(int port, const std::string &streamid, int *reason = nullptr)
    {
        int sock = srt_open_caller(port, streamid, 3000, reason);
        if (sock != -1)
            sockets_.push_back(sock);
        return sock;
    }
    std::vector<int> sockets_;
};

// Two routes publish on one port and play on another: each player gets its own route's
// stream in either form of stream id, and a third endpoint with a taken id is refused with
// nothing changed. Callers keep knocking for the second route while it is switched off and
// deleted; then they are told it is not there, and the first route serves on throughout.
TEST_F(shared_ports, stream_id_picks_the_route_and_a_deleted_route_leaves_the_port_serving)
{
    int publish_port = free_udp_port(), play_port = free_udp_port();
    create_routes(3);
    for (const auto &[route, target] : {std::make_pair(100, 1000), std::make_pair(101, 1001)}) {
        std::string id = "cam" + std::to_string(route);
        std::string path = "/api/routes/" + std::to_string(route);
        ASSERT_EQ(call("PUT", path + "/source", listen_query(publish_port, id)).body, "Ok");
        ASSERT_EQ(call("POST", path + "/targets").status, 200);
        ASSERT_EQ(
            call("PUT", path + "/targets/" + std::to_string(target), listen_query(play_port, id))
                .body,
            "Ok");
    }
    std::string stored = read_text_file(relay.config_path);
    http_response_t taken =
        call("PUT", "/api/routes/102/source", listen_query(play_port, "cam101"));
    EXPECT_EQ(taken.body, "{\"error\":\"Stream id cam101 is already served on port " +
                              std::to_string(play_port) + "\"}");
    EXPECT_EQ(read_text_file(relay.config_path), stored);
    // A third endpoint keeps the players' port shared once the second route is gone.
    ASSERT_EQ(call("PUT", "/api/routes/102/source", listen_query(play_port, "spare")).body, "Ok");

    int first = caller(publish_port, "cam100");
    int second = caller(publish_port, "#!::r=cam101,m=publish,bmd_uuid=42");
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    publisher_t one(first, 'a'), two(second, 'b');
    int player_one = caller(play_port, "cam100");
    int player_two = caller(play_port, "#!::r=cam101,m=request");
    EXPECT_EQ(receive_fill(player_one, 3000), 'a');
    EXPECT_EQ(receive_fill(player_two, 3000), 'b');
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
    EXPECT_GT(metric("mirevo_connections_rejected_total{port=\"" + std::to_string(play_port) +
                     "\",reason=\"notfound\"}"),
              0);
    EXPECT_EQ(receive_fill(player_one, 3000), 'a') << "the first route serves on";
    EXPECT_EQ(receive_fill(caller(play_port, "cam100"), 3000), 'a');
}

} // namespace
