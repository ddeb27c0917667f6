// Tests of the traffic statistics: byte figures, the per-second lines and the endpoint lookup.
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/stats.h"
#include "testkit.h"

// Made-up socket ids: no SRT socket has them, so the pass's own statistics
// snapshot fails and the counters set by the test stay as they are.
static const SRTSOCKET SOURCE_A = 0x1f000001, SOURCE_B = 0x1f000002;
static const SRTSOCKET TARGET_A = 0x1f000011, TARGET_B = 0x1f000012;

// Lists a connection as the connection handler would, with given counters.
static conn_socket_t &push_conn(route_t &route, std::list<conn_socket_t> &conns, SRTSOCKET sock,
                                int64_t total = 0, int64_t delta = 0)
{
    pthread_mutex_lock(&route.list_lock);
    conn_socket_t &conn = conns.emplace_back();
    conn.sock = sock;
    conn.rcv_total = conn.sent_total = total;
    conn.rcv_delta = conn.sent_delta = delta;
    pthread_mutex_unlock(&route.list_lock);
    return conn;
}

// get_endpoint_stats as "found/subscribers/loss total/loss/rtt".
static std::string lookup(int32_t route_id, int32_t target_id)
{
    int subscribers = 0, loss_total = 0, loss = 0;
    float rtt = 0;
    int found = get_endpoint_stats(route_id, target_id, &subscribers, &loss_total, &loss, &rtt);
    char text[80];
    snprintf(text, sizeof text, "%d/%d/%d/%d/%g", found, subscribers, loss_total, loss, rtt);
    return text;
}

class stats : public ::testing::Test
{
  protected:
    registry_sandbox_t sandbox_;

    // One pass with the locks the main loop holds; returns what it printed.
    std::string run_pass(float elapsed_seconds)
    {
        return capture_stdout([&] {
            pthread_mutex_lock(&g_routes_lock);
            pthread_mutex_lock(&stat_lock);
            print_route_stats(elapsed_seconds);
            pthread_mutex_unlock(&stat_lock);
            pthread_mutex_unlock(&g_routes_lock);
        });
    }
    // Route 100 with SOURCE_A listed and active, and target 1000.
    route_t *route_with_source(int64_t total, int64_t delta)
    {
        route_t *route = insert_idle_route(100);
        if (route == nullptr)
            return nullptr;
        push_conn(*route, route->conns, SOURCE_A, total, delta);
        route->active_source = SOURCE_A;
        append_target(*route, 1000);
        return route;
    }
};

TEST(stats_byte_figure, unit_changes_just_above_each_power_of_1024)
{
    const struct {
        int64_t bytes;
        const char *text;
    } cases[] = {{0, "0.0B"},           {-5000000, "-5000000.0B"},
                 {1024, "1024.0B"},     {1025, "1.0KB"},
                 {1536, "1.5KB"},       {1048576, "1024.0KB"},
                 {1048577, "1.0MB"},    {1073741824, "1024.0MB"},
                 {1073741825, "1.0GB"}, {5497558138880LL, "5120.0GB"}};
    char text[32];
    for (const auto &c : cases) {
        format_byte_figure(c.bytes, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.bytes;
    }
    format_byte_figure(1048576, text, 5);
    EXPECT_STREQ(text, "1024") << "cut to the buffer";
}

// One line per target connection, numbered, each with the route's received figures; one
// unnumbered line for a target without any; none for a route without targets. Newest first.
// Each line shows the totals from before the pass folds the increases into them.
TEST_F(stats, pass_prints_a_line_per_target_connection_newest_route_first)
{
    route_t *plain = route_with_source(0, 3000000); // route 100, target 1000 alone
    ASSERT_NE(plain, nullptr);
    plain->targets.front().pktSentTotal = 9;
    route_t *quiet = insert_idle_route(101);
    ASSERT_NE(quiet, nullptr);
    conn_socket_t &quiet_source = push_conn(*quiet, quiet->conns, SOURCE_B, 0, 64);
    conn_socket_t &inactive = push_conn(*quiet, quiet->conns, SOURCE_A, 5000, 700);
    quiet->active_source = SOURCE_B;
    route_t *busy = insert_idle_route(102);
    ASSERT_NE(busy, nullptr);
    push_conn(*busy, busy->conns, SOURCE_A, 2048, 1536);
    busy->active_source = SOURCE_A;
    target_t &target = append_target(*busy, 1001);
    push_conn(*busy, target.conns, TARGET_A, 100, 50);
    push_conn(*busy, target.conns, TARGET_B, 4096, 1024);

    std::string printed = run_pass(2.5f);
    const char *lines[] = {
        "[STATS 102->1001] [1 sources; 2 targets] 1: [+2.5s] [total rcv: 2.0KB (+1.5KB)] [total "
        "sent: 100.0B (+50.0B)]\n",
        "[STATS 102->1001] [1 sources; 2 targets] 2: [+2.5s] [total rcv: 2.0KB (+1.5KB)] [total "
        "sent: 4.0KB (+1024.0B)]\n",
        "[STATS 100->1000] [1 sources; 0 targets] [+2.5s] [total rcv: 0.0B (+2.9MB)] [total sent: "
        "0.0B (+0.0B)]\n"};
    size_t last = 0;
    for (const char *line : lines) {
        size_t at = printed.find(line);
        ASSERT_NE(at, std::string::npos) << line << "\n" << printed;
        EXPECT_GE(at, last) << line;
        last = at;
    }
    EXPECT_EQ(count_occurrences(printed, "[STATS"), 3u) << printed;
    // The route without targets still has its active source counted, and only that one;
    // a target's figures are rewritten by every pass, to 0 without connections.
    EXPECT_EQ(quiet_source.rcv_total, 64);
    EXPECT_EQ(quiet_source.rcv_delta, 0);
    EXPECT_EQ(inactive.rcv_total, 5000);
    EXPECT_EQ(inactive.rcv_delta, 700);
    EXPECT_EQ(plain->targets.front().pktSentTotal, 0);
    EXPECT_NE(run_pass(1.0f).find("2: [+1.0s] [total rcv: 3.5KB (+0.0B)] [total sent: 5.0KB "
                                  "(+0.0B)]\n"),
              std::string::npos);
}

// Subscribers are counted only where the endpoint listens.
TEST_F(stats, pass_copies_source_figures_and_averages_target_figures_for_the_lookup)
{
    route_t *route = route_with_source(0, 0);
    ASSERT_NE(route, nullptr);
    SRT_TRACEBSTATS &source = route->conns.front().stats;
    source.pktRecvTotal = 5000;
    source.pktRcvLossTotal = 12;
    source.pktRcvLoss = 2;
    source.msRTT = 7.25;
    target_t &target = route->targets.front();
    const struct {
        SRTSOCKET sock;
        int sent, loss_total, loss;
        double rtt;
    } subscribers[] = {{TARGET_A, 10, 3, 1, 10.0}, {TARGET_B, 21, 4, 2, 21.0}};
    for (const auto &s : subscribers) {
        conn_socket_t &conn = push_conn(*route, target.conns, s.sock);
        conn.stats.pktSentTotal = s.sent;
        conn.stats.pktSndLossTotal = s.loss_total;
        conn.stats.pktSndLoss = s.loss;
        conn.stats.msRTT = s.rtt;
    }

    run_pass(1.0f);
    EXPECT_EQ(route->pktSentTotal, 5000);
    EXPECT_EQ(target.pktSentTotal, 15);
    EXPECT_EQ(lookup(100, -1), "1/1/12/2/7.25");
    EXPECT_EQ(lookup(100, 1000), "1/2/3/1/15.5"); // losses (3 + 4) / 2 and (1 + 2) / 2, truncated
    for (conn_mode_t mode : {CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS}) {
        route->source.mode = target.endpoint.mode = mode;
        EXPECT_EQ(lookup(100, -1), "1/0/12/2/7.25");
        EXPECT_EQ(lookup(100, 1000), "1/0/3/1/15.5");
    }
}
