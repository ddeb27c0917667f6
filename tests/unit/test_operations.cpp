// Route management operations against real SRT sockets on loopback.
#include <dirent.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/route_store.h"
#include "testkit.h"

namespace
{

// Entries of /proc/self/<folder>; with a prefix, only those whose comm starts with it.
int count_proc_entries(const std::string &folder, const std::string &prefix = "")
{
    int count = 0;
    DIR *dir = opendir(("/proc/self/" + folder).c_str());
    while (struct dirent *entry = readdir(dir)) {
        std::string comm = "/proc/self/" + folder + "/" + entry->d_name + "/comm";
        count += entry->d_name[0] != '.' &&
                 (prefix.empty() || read_text_file(comm).rfind(prefix, 0) == 0);
    }
    closedir(dir);
    return count;
}

// The route's connection-handler ("conn:ID") or transmit ("xmit:ID") threads.
int threads_of(const char *kind, int32_t id)
{
    return count_proc_entries("task", kind + std::to_string(id));
}

std::string listen_url(int port)
{
    return "srt://:" + std::to_string(port);
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
        return update_target(id, tid, 1, CONN_MODE_LISTEN, listen_url(port).c_str());
    }
    // A caller that the test closes in TearDown.
    int connect_peer(int port)
    {
        int sock = srt_open_caller(port, "", 1500);
        if (sock != -1)
            peers_.push_back(sock);
        return sock;
    }
    // The route file must hold the registry's document after every operation.
    void expect_file_is_registry()
    {
        std::vector<route_settings_t> routes;
        collect_route_settings(routes);
        size_t size = 0;
        char *text = format_route_document(routes, &size);
        EXPECT_EQ(read_text_file(sandbox_.config_path), std::string(text, size));
        free(text);
    }

    registry_sandbox_t sandbox_;
    std::vector<int> peers_;
};

// Any non-zero "enabled" is stored as 1, so 256, 1 and 7 are the same configuration, which
// leaves the connections alone. A target updated while the source is off opens at once.
TEST_F(OperationsTest, source_switch_keeps_one_thread_pair_and_reopens_enabled_targets)
{
    int source_port = free_udp_port(), on_port = free_udp_port();
    int32_t id = create_route(), on = add_target(id), off = add_target(id);
    route_t &route = g_routes.front();
    target_t &on_target = route.targets.front(), &off_target = route.targets.back();
    ASSERT_EQ(target_on(id, on, on_port), 0);
    ASSERT_EQ(update_target(id, off, 0, CONN_MODE_LISTEN, listen_url(free_udp_port()).c_str()), 0);
    EXPECT_EQ(threads_of("conn:", id), 0);
    EXPECT_NE(on_target.basesockout, -1);
    EXPECT_EQ(off_target.basesockout, -1);

    ASSERT_EQ(update_source(id, 256, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    EXPECT_EQ(route.source.enabled, 1);
    ASSERT_NE(connect_peer(source_port), -1);
    ASSERT_NE(connect_peer(on_port), -1);
    // A caller still in the listener's backlog is not told when the listener closes.
    auto conns = [&] {
        return count_conns(route, route.conns) + count_conns(route, on_target.conns);
    };
    ASSERT_TRUE(wait_until([&] { return conns() == 2; }, 5000));
    EXPECT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_EQ(enable_source(id, 7), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_EQ(conns(), 2u);

    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(threads_of("conn:", id), 1);
        EXPECT_EQ(threads_of("xmit:", id), 1);
        ASSERT_EQ(enable_source(id, 0), 0);
        EXPECT_EQ(conns(), 0u) << "switching off closes every connection";
        EXPECT_EQ(route.basesockin, -1);
        EXPECT_EQ(on_target.basesockout, -1);
        ASSERT_EQ(enable_source(id, 1), 0);
        EXPECT_NE(on_target.basesockout, -1);
        EXPECT_EQ(off_target.basesockout, -1);
    }
    EXPECT_NE(connect_peer(on_port), -1);
    EXPECT_NE(connect_peer(source_port), -1);
}

// Then deleting the route stops its threads and closes the source's caller.
TEST_F(OperationsTest, deleting_a_target_with_three_subscribers_logs_three_disconnects)
{
    int source_port = free_udp_port(), target_port = free_udp_port();
    int32_t id = create_route(), tid = add_target(id);
    ASSERT_EQ(target_on(id, tid, target_port), 0);
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_NE(connect_peer(target_port), -1);
    int publisher = connect_peer(source_port);
    ASSERT_NE(publisher, -1);
    route_t &route = g_routes.front();
    ASSERT_TRUE(
        wait_until([&] { return count_conns(route, route.targets.front().conns) == 3; }, 5000));

    int result = -2;
    std::string printed = capture_stdout([&] { result = delete_target(id, tid); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count_occurrences(printed, "[CONNTHREAD] target has disconnected"), 3u) << printed;
    EXPECT_EQ(delete_target(id, tid), -1);
    expect_file_is_registry();

    ASSERT_EQ(delete_route(id), 0);
    // The done flags are each thread's last act; the thread itself is gone a moment later.
    EXPECT_TRUE(
        wait_until([&] { return threads_of("conn:", id) + threads_of("xmit:", id) == 0; }, 2000));
    EXPECT_TRUE(wait_until([&] { return srt_getsockstate(publisher) != SRTS_CONNECTED; }, 5000));
    EXPECT_EQ(delete_route(id), -1);
    EXPECT_EQ(read_text_file(sandbox_.config_path), "{}");
}

// Each failure leaves the state the operation documents, and the file always holds
// what the registry holds; a busy port or an unparsable address forces the failure.
TEST_F(OperationsTest, failures_leave_documented_state_and_the_file_matches_the_registry)
{
    int busy_port = free_udp_port();
    int holder = srt_open_listener(busy_port);
    ASSERT_NE(holder, -1);
    peers_.push_back(holder);
    int32_t id = create_route(), bad = add_target(id);
    route_t &route = g_routes.front();
    target_t &bad_target = route.targets.front();

    // A URL that cannot be stored whole changes nothing; the longest that fits is kept.
    std::string longest = listen_url(free_udp_port()) + "?streamid=";
    longest += std::string(ENDPOINT_URL_SIZE - 1 - longest.size(), 'b');
    const struct {
        int32_t target_id; // -1: the source
        std::string url, error;
    } refused[] = {{-1, longest + "b", "url is longer than 255 characters"},
                   {bad, "srt://:9000?streamid=\xff\xfe", "url is not valid UTF-8"},
                   {-1, "srt://:9000?streamid=\xff", "url is not valid UTF-8"}};
    std::string saved = read_text_file(sandbox_.config_path);
    for (const auto &row : refused) {
        EXPECT_EQ(row.target_id == -1 ? update_source(id, 1, 0, row.url.c_str())
                                      : update_target(id, row.target_id, 1, 0, row.url.c_str()),
                  -1);
        EXPECT_EQ(g_last_error, row.error);
    }
    EXPECT_STREQ(route.source.url, "");
    EXPECT_EQ(read_text_file(sandbox_.config_path), saved);
    ASSERT_EQ(update_target(id, bad, 0, 0, longest.c_str()), 0);
    EXPECT_EQ(bad_target.endpoint.url, longest);
    EXPECT_EQ(update_target(id, bad, 0, 0, longest.c_str()), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");

    const std::pair<int, std::string> sources[] = {{CONN_MODE_LISTEN, listen_url(busy_port)},
                                                   {CONN_MODE_CALLER, "srt://relay.example:9000"}};
    for (const auto &source : sources) {
        SCOPED_TRACE(source.second);
        EXPECT_EQ(update_source(id, 1, source.first, source.second.c_str()), -1);
        EXPECT_STREQ(g_last_error, "Creating source's SRT Socket failed");
        EXPECT_EQ(route.source.enabled, 0);
        EXPECT_EQ(route.source.mode, source.first);
        EXPECT_EQ(route.source.url, source.second);
        EXPECT_EQ(route.basesockin, -1);
        EXPECT_EQ(threads_of("conn:", id), 0);
        expect_file_is_registry();
    }

    EXPECT_EQ(target_on(id, bad, busy_port), -1);
    EXPECT_STREQ(g_last_error, "Creating Target's SRT Socket failed");
    EXPECT_EQ(bad_target.endpoint.enabled, 1) << "the new settings are kept";
    EXPECT_EQ(bad_target.endpoint.url, listen_url(busy_port));
    EXPECT_EQ(bad_target.basesockout, -1);
    expect_file_is_registry();

    // One target that cannot open does not take its route down: the source, the
    // other targets and the threads come up, and the error names the bad target.
    int32_t good = add_target(id);
    int good_port = free_udp_port();
    ASSERT_EQ(target_on(id, good, good_port), 0);
    EXPECT_EQ(update_source(id, 1, 0, listen_url(free_udp_port()).c_str()), -1);
    EXPECT_EQ(g_last_error, "Creating target's SRT Socket failed: " + std::to_string(bad));
    EXPECT_EQ(route.source.enabled, 1);
    EXPECT_NE(route.basesockin, -1);
    EXPECT_NE(route.targets.back().basesockout, -1);
    EXPECT_EQ(threads_of("conn:", id), 1);
    EXPECT_NE(connect_peer(good_port), -1) << "the good target serves";
    expect_file_is_registry();
}

// A hundred on/off and create/delete cycles leave no thread and no descriptor behind. Every
// spare route opens a target; every fourth also starts and stops its thread pair (the
// stop waits out one 100 ms poll of the threads, so not all of them do).
TEST_F(OperationsTest, hundred_cycles_leave_thread_and_descriptor_counts_unchanged)
{
    int32_t id = create_route();
    ASSERT_EQ(target_on(id, add_target(id), free_udp_port()), 0);
    ASSERT_EQ(update_source(id, 1, 0, listen_url(free_udp_port()).c_str()), 0);
    int threads = count_proc_entries("task"), descriptors = count_proc_entries("fd");
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(enable_source(id, 0), 0);
        ASSERT_EQ(enable_source(id, 1), 0);
        int32_t spare = create_route();
        ASSERT_EQ(target_on(spare, add_target(spare), 0), 0);
        if (i % 4 == 0)
            ASSERT_EQ(update_source(spare, 1, CONN_MODE_LISTEN, "srt://:0"), 0);
        ASSERT_EQ(delete_route(spare), 0);
    }
    // libsrt ends its own per-socket threads and frees closed sockets a moment later.
    EXPECT_TRUE(wait_until([&] { return count_proc_entries("task") <= threads; }, 8000))
        << count_proc_entries("task") << " threads, " << threads << " before";
    EXPECT_TRUE(wait_until([&] { return count_proc_entries("fd") <= descriptors; }, 8000))
        << count_proc_entries("fd") << " descriptors, " << descriptors << " before";
}

} // namespace
