// Traffic statistics: the per-second lines with their byte figures, and the endpoint lookup.
#include <stdio.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "routing/registry.h"
#include "routing/stats.h"
#include "testkit.h"

// Made-up socket ids: the pass's own snapshot fails, so the counters set here stay.
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

    // One pass with the main loop's locks; what it printed, without prefix and stamp.
    std::string run_pass(float elapsed_seconds)
    {
        std::string printed = capture_stdout([&] {
            pthread_mutex_lock(&g_routes_lock);
            pthread_mutex_lock(&stat_lock);
            print_route_stats(elapsed_seconds);
            pthread_mutex_unlock(&stat_lock);
            pthread_mutex_unlock(&g_routes_lock);
        });
        return std::regex_replace(printed, std::regex("\x1b\\[2K\r\\[[0-9.: ]+\\] "), "");
    }
};

// One line per target connection, newest route first; the lookup averages the target's connections.
TEST_F(stats, pass_prints_a_line_per_target_connection_and_keeps_figures_for_the_lookup)
{
    route_t *plain = insert_idle_route(100), *empty = insert_idle_route(101);
    route_t *busy = insert_idle_route(102);
    ASSERT_TRUE(plain != nullptr && empty != nullptr && busy != nullptr);
    push_conn(*plain, plain->conns, SOURCE_A, 1073741825, 5497558138880LL);
    plain->active_source = SOURCE_A;
    append_target(*plain, 1000).pktSentTotal = 9;
    conn_socket_t &unlisted = push_conn(*empty, empty->conns, SOURCE_A, 0, 64);
    empty->active_source = SOURCE_A;
    conn_socket_t &inactive = push_conn(*busy, busy->conns, SOURCE_B, 5000, 700);
    SRT_TRACEBSTATS &source = push_conn(*busy, busy->conns, SOURCE_A, 1024, 1025).stats;
    busy->active_source = SOURCE_A;
    source.pktRecvTotal = 5000;
    source.pktRcvLossTotal = 12;
    source.pktRcvLoss = 2;
    source.msRTT = 7.25;
    target_t &target = append_target(*busy, 1001);
    target.endpoint.sourcetime = 1;
    const struct {
        SRTSOCKET sock;
        int64_t total, delta;
        int sent, loss_total, loss;
        double rtt;
    } subscribers[] = {{TARGET_A, 1536, 1048576, 10, 3, 1, 10.0},
                       {TARGET_B, 1048577, 1073741824, 21, 4, 2, 21.0}};
    for (const auto &s : subscribers) {
        SRT_TRACEBSTATS &stats = push_conn(*busy, target.conns, s.sock, s.total, s.delta).stats;
        stats.pktSentTotal = s.sent;
        stats.pktSndLossTotal = s.loss_total;
        stats.pktSndLoss = s.loss;
        stats.msRTT = s.rtt;
    }

    EXPECT_EQ(run_pass(2.5f),
              "[STATS 102->1001] [2 sources; 2 targets] 1: [+2.5s] [total rcv: 1024.0B (+1.0KB)] "
              "[total sent: 1.5KB (+1024.0KB)] [source time]\n"
              "[STATS 102->1001] [2 sources; 2 targets] 2: [+2.5s] [total rcv: 1024.0B (+1.0KB)] "
              "[total sent: 1.0MB (+1024.0MB)] [source time]\n"
              "[STATS 100->1000] [1 sources; 0 targets] [+2.5s] [total rcv: 1.0GB (+5120.0GB)] "
              "[total sent: 0.0B (+0.0B)]\n");
    // Only the active source shows, but a standby's bytes fold too.
    EXPECT_EQ(unlisted.rcv_total, 64);
    EXPECT_EQ(inactive.rcv_total, 5700);
    EXPECT_EQ(plain->targets.front().pktSentTotal, 0);
    EXPECT_EQ(busy->pktSentTotal, 5000);
    EXPECT_EQ(target.pktSentTotal, 15);
    EXPECT_EQ(lookup(102, -1), "1/2/12/2/7.25");
    EXPECT_EQ(lookup(102, 1001), "1/2/3/1/15.5"); // losses (3 + 4) / 2 and (1 + 2) / 2, truncated
    for (conn_mode_t mode : {CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS}) {
        busy->source.mode = target.endpoint.mode = mode;
        EXPECT_EQ(lookup(102, -1), "1/0/12/2/7.25");
        EXPECT_EQ(lookup(102, 1001), "1/0/3/1/15.5");
    }
    EXPECT_NE(run_pass(1.0f).find("2: [+1.0s] [total rcv: 2.0KB (+0.0B)] [total sent: 1.0GB "
                                  "(+0.0B)] [source time]\n"),
              std::string::npos);

    // MIREVO_STATS_EVERY=2: one line per connection every second pass, over both; 0: none.
    conn_socket_t &first = target.conns.front();
    for (int every : {2, 0}) {
        g_stats_every = every;
        first.sent_delta = 100;
        EXPECT_EQ(run_pass(1.5f), "");
        first.sent_delta = 50;
        std::string printed = run_pass(0.5f);
        if (every == 0)
            EXPECT_EQ(printed, "");
        else
            EXPECT_NE(printed.find("1: [+2.0s] [total rcv: 2.0KB (+0.0B)] [total sent: 1.0MB "
                                   "(+150.0B)] [source time]\n"),
                      std::string::npos)
                << printed;
    }
    g_stats_every = 1;
}

// A closed connection's final figures join the totals: they never go down when a peer leaves.
TEST(fold, closed_connection_adds_its_final_figures_to_the_totals)
{
    conn_socket_t conn;
    conn.sent_total = conn.rcv_total = 1000;
    conn.sent_delta = conn.rcv_delta = 316;
    conn.dropped = 2;
    conn.retransmits_received = 5;
    conn.stats.pktSndLossTotal = conn.stats.pktRcvLossTotal = 1;
    SRT_TRACEBSTATS final = conn.stats;
    final.pktSndLossTotal = final.pktRcvLossTotal = 9;
    final.pktRetransTotal = 7;
    final.pktSndDropTotal = 3;
    final.pktRcvRetrans = 4;
    traffic_totals_t totals = {10, 1, 1, 1};
    fold_closed_connection(totals, conn, &final, SIDE_TARGET);
    fold_closed_connection(totals, conn, &final, SIDE_SOURCE);
    fold_closed_connection(totals, conn, nullptr, SIDE_SOURCE);
    EXPECT_EQ(totals.bytes, 10 + 3 * 1316);
    EXPECT_EQ(totals.packets_lost, 1 + 9 + 9 + 1);
    EXPECT_EQ(totals.packets_retransmitted, 1 + 7 + (5 + 4) + 5);
    EXPECT_EQ(totals.packets_dropped, 1 + (3 + 2) + 0 + 0);
}
