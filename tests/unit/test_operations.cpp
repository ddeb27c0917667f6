// Route management operations against real SRT sockets on loopback.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/log.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

// Entries of /proc/self/<folder>; with a prefix, only those whose comm starts with it.
static int count_proc_entries(const std::string &folder, const std::string &prefix = "")
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/" + folder))
        count += prefix.empty() || read_text_file(entry.path() / "comm").rfind(prefix, 0) == 0;
    return count;
}

// True once no deleted route is left for the event loop to let go of.
static bool retired_routes_gone(void)
{
    pthread_mutex_lock(&g_routes_lock);
    reap_retired_routes();
    bool gone = g_retired_routes.empty();
    pthread_mutex_unlock(&g_routes_lock);
    return gone;
}

class OperationsTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (int sock : peers_)
            srt_close(sock);
    }
    int target_on(int32_t id, int32_t tid, int port)
    {
        return update_target(id, tid, 1, CONN_MODE_LISTEN, srt_url("", port).c_str());
    }
    int connect_peer(int port)
    {
        int sock = srt_open_caller(port, "", 1500);
        peers_.push_back(sock);
        return sock;
    }
    registry_sandbox_t sandbox_;
    std::vector<int> peers_;
};

// Switching the source reopens targets on the one loop; deleting closes callers, frees the record.
TEST_F(OperationsTest, switching_and_deleting_keep_one_loop_and_close_every_connection)
{
    int source_port = free_udp_port(), on_port = free_udp_port();
    int32_t id = create_route(), on = add_target(id), off = add_target(id);
    route_t &route = g_routes.front();
    target_t &on_target = route.targets.front(), &off_target = route.targets.back();
    ASSERT_EQ(target_on(id, on, on_port), 0);
    ASSERT_EQ(update_target(id, off, 0, CONN_MODE_LISTEN, srt_url("", free_udp_port()).c_str()), 0);
    EXPECT_NE(on_target.listen, 0);
    EXPECT_EQ(route.running, 0);
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, srt_url("", source_port).c_str()), 0);
    auto conns = [&] {
        return count_conns(route, route.conns) + count_conns(route, on_target.conns);
    };
    for (int round = 0; round < 2; round++) {
        ASSERT_NE(connect_peer(source_port), -1);
        ASSERT_NE(connect_peer(on_port), -1);
        // A caller still in the listener's backlog is not told when the listener closes.
        ASSERT_TRUE(wait_until([&] { return conns() == 2; }, 5000));
        EXPECT_EQ(route.running, 1);
        EXPECT_EQ(count_proc_entries("task", "loop"), 1);
        ASSERT_EQ(enable_source(id, 0), 0);
        EXPECT_EQ(conns(), 0u);
        EXPECT_EQ(route.source_listen, 0);
        EXPECT_EQ(on_target.listen, 0);
        ASSERT_EQ(enable_source(id, 1), 0);
        EXPECT_NE(on_target.listen, 0);
        EXPECT_EQ(off_target.listen, 0);
    }

    for (int i = 0; i < 3; i++)
        ASSERT_NE(connect_peer(on_port), -1);
    int publisher = connect_peer(source_port);
    ASSERT_NE(publisher, -1);
    ASSERT_TRUE(wait_until([&] { return conns() == 4; }, 5000));
    int result = -2;
    std::string printed = capture_stdout([&] { result = delete_target(id, on); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count_occurrences(printed, "[CONNTHREAD] target has disconnected"), 3u) << printed;
    ASSERT_EQ(delete_route(id), 0);
    EXPECT_TRUE(wait_until(retired_routes_gone, 2000));
    EXPECT_TRUE(wait_until([&] { return srt_getsockstate(publisher) != SRTS_CONNECTED; }, 5000));
}

// Forty cycles leave no thread or descriptor behind (a leak per cycle shows forty).
TEST_F(OperationsTest, repeated_cycles_leave_thread_and_descriptor_counts_unchanged)
{
    int32_t id = create_route();
    ASSERT_EQ(target_on(id, add_target(id), free_udp_port()), 0);
    ASSERT_EQ(update_source(id, 1, 0, srt_url("", free_udp_port()).c_str()), 0);
    // The day file stays open once an entry went to it.
    log_message(LOG_LEVEL_INFO, "counting threads and descriptors\n");
    flush_log(5000);
    int threads = count_proc_entries("task"), descriptors = count_proc_entries("fd");
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(enable_source(id, 0), 0);
        ASSERT_EQ(enable_source(id, 1), 0);
        int32_t spare = create_route();
        ASSERT_EQ(target_on(spare, add_target(spare), 0), 0);
        ASSERT_EQ(update_source(spare, 1, CONN_MODE_LISTEN, "srt://:0"), 0);
        ASSERT_EQ(delete_route(spare), 0);
    }
    // libsrt ends its own per-socket threads and frees closed sockets a moment later.
    EXPECT_TRUE(wait_until([&] { return count_proc_entries("task") <= threads; }, 8000));
    EXPECT_TRUE(wait_until([&] { return count_proc_entries("fd") <= descriptors; }, 8000));
}
