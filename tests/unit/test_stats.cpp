// Tests of the traffic statistics: byte figures, the per-second lines and the endpoint lookup.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/stats.h"
#include "testkit.h"

// Made-up socket ids: no SRT socket has them, so the pass's own statistics
// snapshot fails and the counters set by the test stay as they are.
static const SRTSOCKET SOURCE_A = 0x1f000001;
static const SRTSOCKET SOURCE_B = 0x1f000002;
static const SRTSOCKET TARGET_A = 0x1f000011;
static const SRTSOCKET TARGET_B = 0x1f000012;
static const SRTSOCKET TARGET_C = 0x1f000013;

// Sends standard output to a file until finish() or the end of the scope.
class stdout_capture_t {
  public:
    explicit stdout_capture_t(const std::string &path) : path_(path) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~stdout_capture_t() {
        finish();
    }
    std::string finish() {
        if (saved_ != -1) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        return read_text_file(path_);
    }

  private:
    std::string path_;
    int saved_ = -1;
};

// A route record with no threads and no sockets, put at the front of g_routes.
static route_t *insert_route(int32_t id, conn_mode_t source_mode = CONN_MODE_LISTEN) {
    std::list<route_t> holder;
    if (build_route_record(holder, id) != 0)
        return nullptr;
    holder.front().source.mode = source_mode;
    pthread_mutex_lock(&g_routes_lock);
    g_routes.splice(g_routes.begin(), holder);
    pthread_mutex_unlock(&g_routes_lock);
    return &g_routes.front();
}

// Lists a connection as the connection handler would, with given counters.
static conn_socket_t &push_conn(route_t &route, std::list<conn_socket_t> &conns, SRTSOCKET sock,
                                int64_t total, int64_t delta) {
    pthread_mutex_lock(&route.list_lock);
    conn_socket_t &conn = conns.emplace_back();
    conn.sock = sock;
    conn.rcv_total = total;
    conn.rcv_delta = delta;
    conn.sent_total = total;
    conn.sent_delta = delta;
    pthread_mutex_unlock(&route.list_lock);
    return conn;
}

class stats : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        discard_all_routes();
        reset_id_counters();
    }
    void TearDown() override {
        discard_all_routes();
        reset_id_counters();
        remove_tree(dir_);
    }

    // One pass with the locks the main loop holds; returns what it printed.
    std::string run_pass(float elapsed_seconds) {
        stdout_capture_t capture(dir_ + "/stdout.txt");
        pthread_mutex_lock(&g_routes_lock);
        pthread_mutex_lock(&stat_lock);
        print_route_stats(elapsed_seconds);
        pthread_mutex_unlock(&stat_lock);
        pthread_mutex_unlock(&g_routes_lock);
        return capture.finish();
    }

    std::string dir_;
};

static std::string byte_figure(int64_t bytes) {
    char text[32];
    format_byte_figure(bytes, text, sizeof text);
    return text;
}

TEST(stats_byte_figure, unit_changes_just_above_each_power_of_1024) {
    struct case_t {
        int64_t bytes;
        const char *text;
    };
    const case_t cases[] = {
        {0, "0.0B"},
        {-1, "-1.0B"},
        {-5000000, "-5000000.0B"},
        {1, "1.0B"},
        {1024, "1024.0B"},
        {1025, "1.0KB"},
        {1536, "1.5KB"},
        {1048576, "1024.0KB"},
        {1048577, "1.0MB"},
        {1073741824, "1024.0MB"},
        {1073741825, "1.0GB"},
        {5497558138880LL, "5120.0GB"},
    };
    for (const case_t &c : cases)
        EXPECT_EQ(byte_figure(c.bytes), c.text) << c.bytes;
}

TEST(stats_byte_figure, figure_is_cut_to_the_buffer) {
    char text[5];
    format_byte_figure(1048576, text, sizeof text);
    EXPECT_STREQ(text, "1024");
}

TEST_F(stats, each_target_connection_gets_a_numbered_line_with_the_same_received_figures) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    push_conn(*route, route->conns, SOURCE_A, 2048, 1536);
    route->active_source = SOURCE_A;
    target_t &target = append_target(*route, 1000);
    push_conn(*route, target.conns, TARGET_A, 100, 50);
    push_conn(*route, target.conns, TARGET_B, 4096, 1024);

    std::string printed = run_pass(1.0f);
    const std::string first = "[STATS 100->1000] [1 sources; 2 targets] 1: [+1.0s] [total rcv: "
                              "2.0KB (+1.5KB)] [total sent: 100.0B (+50.0B)]\n";
    const std::string second = "[STATS 100->1000] [1 sources; 2 targets] 2: [+1.0s] [total rcv: "
                               "2.0KB (+1.5KB)] [total sent: 4.0KB (+1024.0B)]\n";
    ASSERT_NE(printed.find(first), std::string::npos) << printed;
    ASSERT_NE(printed.find(second), std::string::npos) << printed;
    EXPECT_LT(printed.find(first), printed.find(second));
    EXPECT_EQ(count_occurrences(printed, "[STATS"), 2u);
}

TEST_F(stats, pass_folds_deltas_and_shows_totals_from_before_the_increase) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    conn_socket_t &source = push_conn(*route, route->conns, SOURCE_A, 1024, 2048);
    route->active_source = SOURCE_A;
    target_t &target = append_target(*route, 1000);
    conn_socket_t &sent = push_conn(*route, target.conns, TARGET_A, 512, 512);

    run_pass(1.0f);
    EXPECT_EQ(source.rcv_total, 3072);
    EXPECT_EQ(source.rcv_delta, 0);
    EXPECT_EQ(sent.sent_total, 1024);
    EXPECT_EQ(sent.sent_delta, 0);

    pthread_mutex_lock(&route->list_lock);
    source.rcv_delta = 100;
    sent.sent_delta = 10;
    pthread_mutex_unlock(&route->list_lock);
    std::string printed = run_pass(0.5f);
    EXPECT_NE(printed.find("1: [+0.5s] [total rcv: 3.0KB (+100.0B)] [total sent: 1024.0B "
                           "(+10.0B)]"),
              std::string::npos)
        << printed;
    EXPECT_EQ(source.rcv_total, 3172);
    EXPECT_EQ(sent.sent_total, 1034);

    // A pass with nothing new shows the totals with a zero increase.
    printed = run_pass(1.0f);
    EXPECT_NE(printed.find("[total rcv: 3.1KB (+0.0B)] [total sent: 1.0KB (+0.0B)]"),
              std::string::npos)
        << printed;
}

TEST_F(stats, target_without_connection_gets_one_unnumbered_line_with_zero_sent) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    push_conn(*route, route->conns, SOURCE_A, 0, 3000000);
    route->active_source = SOURCE_A;
    target_t &target = append_target(*route, 1000);
    target.pktSentTotal = 9;
    target.pktLoss = 9;

    std::string printed = run_pass(2.5f);
    EXPECT_NE(printed.find("[STATS 100->1000] [1 sources; 0 targets] [+2.5s] [total rcv: 0.0B "
                           "(+2.9MB)] [total sent: 0.0B (+0.0B)]\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(count_occurrences(printed, "[STATS"), 1u);
    // A target's figures are rewritten by every pass, to 0 without connections.
    EXPECT_EQ(target.pktSentTotal, 0);
    EXPECT_EQ(target.pktLoss, 0);
}

TEST_F(stats, unlisted_active_source_shows_nothing_received_and_keeps_route_figures) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    conn_socket_t &other = push_conn(*route, route->conns, SOURCE_A, 5000, 700);
    route->active_source = SOURCE_B;
    route->pktLossTotal = 42;
    route->msRTT = 3.5f;
    target_t &target = append_target(*route, 1000);
    push_conn(*route, target.conns, TARGET_A, 0, 0);

    std::string printed = run_pass(1.0f);
    EXPECT_NE(printed.find("[STATS 100->1000] [1 sources; 1 targets] 1: [+1.0s] [total rcv: 0.0B "
                           "(+0.0B)] [total sent: 0.0B (+0.0B)]\n"),
              std::string::npos)
        << printed;
    // Only the active source's counters are folded.
    EXPECT_EQ(other.rcv_total, 5000);
    EXPECT_EQ(other.rcv_delta, 700);
    EXPECT_EQ(route->pktLossTotal, 42);
    EXPECT_FLOAT_EQ(route->msRTT, 3.5f);
}

TEST_F(stats, route_without_targets_prints_nothing_and_newer_routes_come_first) {
    route_t *older = insert_route(100);
    ASSERT_NE(older, nullptr);
    append_target(*older, 1000);
    route_t *quiet = insert_route(101);
    ASSERT_NE(quiet, nullptr);
    conn_socket_t &source = push_conn(*quiet, quiet->conns, SOURCE_A, 0, 64);
    quiet->active_source = SOURCE_A;
    route_t *newer = insert_route(102);
    ASSERT_NE(newer, nullptr);
    append_target(*newer, 1001);

    std::string printed = run_pass(1.0f);
    EXPECT_EQ(printed.find("[STATS 101"), std::string::npos) << printed;
    EXPECT_EQ(count_occurrences(printed, "[STATS"), 2u);
    ASSERT_NE(printed.find("[STATS 102->1001]"), std::string::npos) << printed;
    EXPECT_LT(printed.find("[STATS 102->1001]"), printed.find("[STATS 100->1000]"));
    // Its source is still counted.
    EXPECT_EQ(source.rcv_total, 64);
    EXPECT_EQ(source.rcv_delta, 0);
}

TEST_F(stats, pass_copies_source_figures_and_averages_target_figures_for_the_lookup) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    conn_socket_t &source = push_conn(*route, route->conns, SOURCE_A, 0, 0);
    source.stats.pktRecvTotal = 5000;
    source.stats.pktRcvLossTotal = 12;
    source.stats.pktRcvLoss = 2;
    source.stats.msRTT = 7.25;
    route->active_source = SOURCE_A;
    target_t &target = append_target(*route, 1000);
    conn_socket_t &first = push_conn(*route, target.conns, TARGET_A, 0, 0);
    conn_socket_t &second = push_conn(*route, target.conns, TARGET_B, 0, 0);
    first.stats.pktSentTotal = 10;
    second.stats.pktSentTotal = 21;
    first.stats.pktSndLossTotal = 3;
    second.stats.pktSndLossTotal = 4;
    first.stats.pktSndLoss = 1;
    second.stats.pktSndLoss = 2;
    first.stats.msRTT = 10.0;
    second.stats.msRTT = 21.0;

    run_pass(1.0f);
    EXPECT_EQ(route->pktSentTotal, 5000);
    EXPECT_EQ(target.pktSentTotal, 15);

    int subscribers = -1;
    int loss_total = -1;
    int loss = -1;
    float rtt = -1.0f;
    ASSERT_EQ(get_endpoint_stats(100, -1, &subscribers, &loss_total, &loss, &rtt), 1);
    EXPECT_EQ(subscribers, 1);
    EXPECT_EQ(loss_total, 12);
    EXPECT_EQ(loss, 2);
    EXPECT_FLOAT_EQ(rtt, 7.25f);
    ASSERT_EQ(get_endpoint_stats(100, 1000, &subscribers, &loss_total, &loss, &rtt), 1);
    EXPECT_EQ(subscribers, 2);
    EXPECT_EQ(loss_total, 3); // (3 + 4) / 2, truncated
    EXPECT_EQ(loss, 1);
    EXPECT_FLOAT_EQ(rtt, 15.5f);
}

TEST_F(stats, subscribers_are_counted_only_for_listening_endpoints) {
    struct case_t {
        conn_mode_t source_mode;
        conn_mode_t target_mode;
        int target_id;
        int subscribers;
    };
    const case_t cases[] = {
        {CONN_MODE_LISTEN, CONN_MODE_CALLER, -1, 2},
        {CONN_MODE_CALLER, CONN_MODE_LISTEN, -1, 0},
        {CONN_MODE_RENDEZVOUS, CONN_MODE_LISTEN, -1, 0},
        {CONN_MODE_CALLER, CONN_MODE_LISTEN, 1000, 3},
        {CONN_MODE_RENDEZVOUS, CONN_MODE_LISTEN, 1000, 3},
        {CONN_MODE_LISTEN, CONN_MODE_CALLER, 1000, 0},
        {CONN_MODE_LISTEN, CONN_MODE_RENDEZVOUS, 1000, 0},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(testing::Message() << "source " << (int)c.source_mode << " target "
                                        << (int)c.target_mode << " id " << c.target_id);
        route_t *route = insert_route(100, c.source_mode);
        ASSERT_NE(route, nullptr);
        push_conn(*route, route->conns, SOURCE_A, 0, 0);
        push_conn(*route, route->conns, SOURCE_B, 0, 0);
        target_t &target = append_target(*route, 1000);
        target.endpoint.mode = c.target_mode;
        push_conn(*route, target.conns, TARGET_A, 0, 0);
        push_conn(*route, target.conns, TARGET_B, 0, 0);
        push_conn(*route, target.conns, TARGET_C, 0, 0);

        int subscribers = -1;
        int loss_total = -1;
        int loss = -1;
        float rtt = -1.0f;
        EXPECT_EQ(get_endpoint_stats(100, c.target_id, &subscribers, &loss_total, &loss, &rtt), 1);
        EXPECT_EQ(subscribers, c.subscribers);
        discard_all_routes();
    }
}

TEST_F(stats, unknown_route_or_target_returns_zero_and_leaves_outputs_alone) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    append_target(*route, 1000);
    const int cases[][2] = {{101, -1}, {101, 1000}, {100, 1001}, {100, -2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << "/" << c[1]);
        int subscribers = -7;
        int loss_total = -8;
        int loss = -9;
        float rtt = -1.5f;
        EXPECT_EQ(get_endpoint_stats(c[0], c[1], &subscribers, &loss_total, &loss, &rtt), 0);
        EXPECT_EQ(subscribers, -7);
        EXPECT_EQ(loss_total, -8);
        EXPECT_EQ(loss, -9);
        EXPECT_FLOAT_EQ(rtt, -1.5f);
    }
}

TEST_F(stats, target_of_an_older_route_with_the_same_id_is_found) {
    // Two records share id 100 (as after a counter wrap); the newer one is first.
    route_t *older = insert_route(100);
    ASSERT_NE(older, nullptr);
    target_t &old_target = append_target(*older, 1001);
    old_target.pktLossTotal = 77;
    older->pktLossTotal = 5;
    route_t *newer = insert_route(100);
    ASSERT_NE(newer, nullptr);
    append_target(*newer, 1000);
    newer->pktLossTotal = 6;

    int subscribers = -1;
    int loss_total = -1;
    int loss = -1;
    float rtt = -1.0f;
    ASSERT_EQ(get_endpoint_stats(100, 1001, &subscribers, &loss_total, &loss, &rtt), 1);
    EXPECT_EQ(loss_total, 77);
    // The source is that of the first route with the id.
    ASSERT_EQ(get_endpoint_stats(100, -1, &subscribers, &loss_total, &loss, &rtt), 1);
    EXPECT_EQ(loss_total, 6);
}
