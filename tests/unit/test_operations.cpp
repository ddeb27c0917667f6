// Route management operations against real SRT sockets on loopback.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/settings.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

namespace {

// Threads of this process whose name starts with prefix ("conn:", "xmit:").
int count_threads(const std::string &prefix) {
    int count = 0;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string comm =
            read_text_file(std::string("/proc/self/task/") + entry->d_name + "/comm");
        if (comm.rfind(prefix, 0) == 0)
            count++;
    }
    closedir(dir);
    return count;
}

int count_descriptors(void) {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

std::string day_log(void) {
    std::string text;
    DIR *dir = opendir(g_log_dir);
    if (dir == nullptr)
        return text;
    while (struct dirent *entry = readdir(dir))
        if (strncmp(entry->d_name, "mirevo-", 7) == 0)
            text += read_text_file(std::string(g_log_dir) + "/" + entry->d_name);
    closedir(dir);
    return text;
}

route_t *route_by_id(int32_t id) {
    for (route_t &route : g_routes)
        if (route.id == id)
            return &route;
    return nullptr;
}

target_t *target_by_id(route_t *route, int32_t id) {
    for (target_t &target : route->targets)
        if (target.id == id)
            return &target;
    return nullptr;
}

std::string listen_url(int port) {
    return "srt://:" + std::to_string(port);
}

bool is_connected(int sock) {
    return srt_getsockstate(sock) == SRTS_CONNECTED;
}

class OperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        discard_all_routes();
        reset_id_counters();
        dir_ = make_temp_dir();
        snprintf(g_config_path, sizeof g_config_path, "%s/config.json", dir_.c_str());
    }

    void TearDown() override {
        for (int sock : peers_)
            srt_close(sock);
        discard_all_routes();
        remove_tree(dir_);
    }

    // A caller that the test closes in TearDown.
    int connect_peer(int port, const std::string &streamid = "") {
        int sock = srt_open_caller(port, streamid, 1500);
        if (sock != -1)
            peers_.push_back(sock);
        return sock;
    }

    std::string config_text() const {
        return read_text_file(g_config_path);
    }

    std::string dir_;
    std::vector<int> peers_;
};

TEST_F(OperationsTest, ids_count_from_100_and_1000_and_targets_share_one_counter) {
    EXPECT_EQ(create_route(), 100);
    EXPECT_EQ(create_route(), 101);
    EXPECT_EQ(add_target(100), 1000);
    EXPECT_EQ(add_target(101), 1001);
    EXPECT_EQ(add_target(999), -1);
    EXPECT_EQ(config_text(),
              "{\"101\":{\"source_id\":101,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
              "\"targets\":{\"1001\":{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}}},"
              "\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
              "\"targets\":{\"1000\":{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}}}}");
}

TEST_F(OperationsTest, listen_source_accepts_a_caller_and_same_configuration_keeps_it) {
    int port = free_udp_port();
    int32_t id = create_route();
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
    route_t *route = route_by_id(id);
    ASSERT_NE(route, nullptr);
    int peer = connect_peer(port);
    ASSERT_NE(peer, -1);
    ASSERT_TRUE(wait_until([&] { return count_conns(*route, route->conns) == 1; }, 3000));

    EXPECT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(port).c_str()), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_EQ(enable_source(id, 1), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    usleep(300 * 1000);
    EXPECT_TRUE(is_connected(peer));
    EXPECT_EQ(count_conns(*route, route->conns), 1u);
}

TEST_F(OperationsTest, source_off_and_on_keeps_one_thread_pair_and_reopens_enabled_targets) {
    int source_port = free_udp_port();
    int on_port = free_udp_port();
    int off_port = free_udp_port();
    int32_t id = create_route();
    int32_t on = add_target(id);
    int32_t off = add_target(id);
    ASSERT_EQ(update_target(id, on, 1, CONN_MODE_LISTEN, listen_url(on_port).c_str()), 0);
    ASSERT_EQ(update_target(id, off, 0, CONN_MODE_LISTEN, listen_url(off_port).c_str()), 0);
    std::string conn_name = "conn:" + std::to_string(id);
    std::string xmit_name = "xmit:" + std::to_string(id);
    EXPECT_EQ(count_threads(conn_name), 0);

    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    EXPECT_EQ(count_threads(conn_name), 1);
    EXPECT_EQ(count_threads(xmit_name), 1);
    int subscriber = connect_peer(on_port);
    ASSERT_NE(subscriber, -1);
    target_t *on_target = target_by_id(route_by_id(id), on);
    // A caller still in the listener's backlog is not told when the listener closes.
    ASSERT_TRUE(
        wait_until([&] { return count_conns(*route_by_id(id), on_target->conns) == 1; }, 5000));

    ASSERT_EQ(enable_source(id, 0), 0);
    EXPECT_EQ(count_conns(*route_by_id(id), on_target->conns), 0u)
        << "switching the source off closes the targets' connections";
    EXPECT_EQ(on_target->basesockout, -1);
    EXPECT_EQ(connect_peer(on_port), -1) << "the target's listener is closed too";
    EXPECT_EQ(count_threads(conn_name), 1);

    ASSERT_EQ(enable_source(id, 1), 0);
    EXPECT_EQ(count_threads(conn_name), 1);
    EXPECT_EQ(count_threads(xmit_name), 1);
    EXPECT_NE(connect_peer(on_port), -1);
    EXPECT_EQ(connect_peer(off_port), -1);
    EXPECT_NE(connect_peer(source_port), -1);
}

TEST_F(OperationsTest, target_updated_while_source_is_off_is_opened_at_once) {
    int port = free_udp_port();
    int32_t id = create_route();
    int32_t target = add_target(id);
    ASSERT_EQ(update_target(id, target, 1, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
    EXPECT_NE(connect_peer(port), -1);
    EXPECT_NE(target_by_id(route_by_id(id), target)->basesockout, -1);
}

TEST_F(OperationsTest, deleting_a_target_with_three_subscribers_logs_three_disconnects) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    int32_t id = create_route();
    int32_t tid = add_target(id);
    ASSERT_EQ(update_target(id, tid, 1, CONN_MODE_LISTEN, listen_url(target_port).c_str()), 0);
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_NE(connect_peer(target_port), -1);
    target_t *target = target_by_id(route_by_id(id), tid);
    ASSERT_TRUE(
        wait_until([&] { return count_conns(*route_by_id(id), target->conns) == 3; }, 5000));

    size_t before = count_occurrences(day_log(), "[CONNTHREAD] target has disconnected");
    ASSERT_EQ(delete_target(id, tid), 0);
    EXPECT_EQ(count_occurrences(day_log(), "[CONNTHREAD] target has disconnected"), before + 3);
    EXPECT_EQ(delete_target(id, tid), -1);
    EXPECT_EQ(config_text().find("\"targets\":{}"), config_text().find("\"targets\""));
}

TEST_F(OperationsTest, deleting_a_route_stops_its_threads_and_closes_its_sockets) {
    int port = free_udp_port();
    int32_t id = create_route();
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
    int peer = connect_peer(port);
    ASSERT_NE(peer, -1);
    ASSERT_EQ(delete_route(id), 0);
    EXPECT_EQ(count_threads("conn:" + std::to_string(id)), 0);
    EXPECT_EQ(count_threads("xmit:" + std::to_string(id)), 0);
    EXPECT_TRUE(wait_until([&] { return !is_connected(peer); }, 5000));
    EXPECT_EQ(delete_route(id), -1);
    EXPECT_EQ(config_text(), "{}");
}

// Each failure leaves the state the operation documents; a busy port or an
// unparsable address forces the socket failure.
TEST_F(OperationsTest, failures_leave_documented_state) {
    int busy_port = free_udp_port();
    int holder = srt_open_listener(busy_port);
    ASSERT_NE(holder, -1);
    peers_.push_back(holder);
    int32_t id = create_route();
    std::string saved = config_text();

    struct case_t {
        const char *name;
        int mode;
        std::string url;
    } cases[] = {
        {"busy port", CONN_MODE_LISTEN, listen_url(busy_port)},
        {"host name in caller mode", CONN_MODE_CALLER, "srt://relay.example:9000"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(update_source(id, 1, c.mode, c.url.c_str()), -1);
        EXPECT_STREQ(g_last_error, "Creating source's SRT Socket failed");
        route_t *route = route_by_id(id);
        EXPECT_EQ(route->source.enabled, 0);
        EXPECT_EQ(route->source.mode, c.mode);
        EXPECT_EQ(route->source.url, c.url);
        EXPECT_EQ(route->basesockin, -1);
        EXPECT_EQ(config_text(), saved) << "a failed change is not saved";
        EXPECT_EQ(count_threads("conn:" + std::to_string(id)), 0);
    }

    EXPECT_EQ(update_source(999, 1, 0, "srt://:1"), -1);
    EXPECT_STREQ(g_last_error, "Source(999) does not fouond");
    EXPECT_EQ(enable_source(999, 1), -1);
    EXPECT_STREQ(g_last_error, "Source(999) does not fouond");
    EXPECT_EQ(enable_target(id, 1000, 1), -1);
    EXPECT_STREQ(g_last_error, "Target(1000) on route(100) does not fouond");
    EXPECT_EQ(update_target(id, 1000, 1, 0, "srt://:1"), -1);
    EXPECT_STREQ(g_last_error, "Target(1000) on route(100) does not fouond");

    int32_t tid = add_target(id);
    saved = config_text();
    EXPECT_EQ(update_target(id, tid, 1, CONN_MODE_LISTEN, listen_url(busy_port).c_str()), -1);
    EXPECT_STREQ(g_last_error, "Creating Target's SRT Socket failed");
    target_t *target = target_by_id(route_by_id(id), tid);
    EXPECT_EQ(target->endpoint.enabled, 1) << "the new settings are kept";
    EXPECT_EQ(target->endpoint.url, listen_url(busy_port));
    EXPECT_EQ(target->basesockout, -1);
    EXPECT_EQ(config_text(), saved);

    // An enabled target that cannot be opened stops the source from switching on.
    int source_port = free_udp_port();
    EXPECT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), -1);
    EXPECT_STREQ(g_last_error, "Creating target's SRT Socket failed");
    EXPECT_EQ(route_by_id(id)->source.enabled, 0);
    EXPECT_NE(route_by_id(id)->basesockin, -1) << "the source itself was reopened";
    EXPECT_EQ(count_threads("conn:" + std::to_string(id)), 0);
}

TEST_F(OperationsTest, unusable_urls_are_refused_and_change_nothing) {
    int32_t id = create_route();
    int32_t tid = add_target(id);
    std::string saved = config_text();
    std::string too_long = "srt://:9000?streamid=" + std::string(300, 'a');
    const char *not_utf8 = "srt://:9000?streamid=\xff\xfe";

    EXPECT_EQ(update_source(id, 1, 0, too_long.c_str()), -1);
    EXPECT_STREQ(g_last_error, "url is longer than 255 characters");
    EXPECT_EQ(update_target(id, tid, 1, 0, not_utf8), -1);
    EXPECT_STREQ(g_last_error, "url is not valid UTF-8");
    EXPECT_EQ(update_source(id, 1, 0, not_utf8), -1);
    EXPECT_STREQ(route_by_id(id)->source.url, "");
    EXPECT_EQ(config_text(), saved);

    // The longest URL that fits is kept whole, and a repeat is the same configuration.
    int port = free_udp_port();
    std::string longest = listen_url(port) + "?streamid=";
    longest += std::string(ENDPOINT_URL_SIZE - 1 - longest.size(), 'b');
    ASSERT_EQ(update_target(id, tid, 0, 0, longest.c_str()), 0);
    EXPECT_EQ(target_by_id(route_by_id(id), tid)->endpoint.url, longest);
    EXPECT_EQ(update_target(id, tid, 0, 0, longest.c_str()), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_NE(config_text().find(longest), std::string::npos);
}

TEST_F(OperationsTest, any_non_zero_enabled_is_stored_as_one_and_starts_the_threads) {
    int port = free_udp_port();
    int32_t id = create_route();
    ASSERT_EQ(update_source(id, 256, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
    EXPECT_EQ(route_by_id(id)->source.enabled, 1);
    EXPECT_EQ(count_threads("conn:" + std::to_string(id)), 1);
    EXPECT_NE(config_text().find("\"enabled\":1"), std::string::npos);
    EXPECT_EQ(enable_source(id, 7), -1) << "7 and 1 are both on";
    EXPECT_STREQ(g_last_error, "Same configration exist");
}

// A hundred on/off and create/delete cycles leave no thread and no descriptor behind.
TEST_F(OperationsTest, hundred_cycles_leave_thread_and_descriptor_counts_unchanged) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    int32_t id = create_route();
    int32_t tid = add_target(id);
    ASSERT_EQ(update_target(id, tid, 1, CONN_MODE_LISTEN, listen_url(target_port).c_str()), 0);
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    sleep(2);
    int threads = count_threads("");
    int descriptors = count_descriptors();

    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(enable_source(id, 0), 0);
        ASSERT_EQ(enable_source(id, 1), 0);
        int32_t spare = create_route();
        ASSERT_GT(spare, 0);
        ASSERT_EQ(update_source(spare, 1, CONN_MODE_LISTEN, "srt://:0"), 0);
        ASSERT_EQ(delete_route(spare), 0);
    }
    // libsrt ends its own per-socket threads and frees closed sockets a moment later.
    EXPECT_TRUE(wait_until([&] { return count_threads("") <= threads; }, 8000))
        << count_threads("") << " threads, " << threads << " before";
    EXPECT_TRUE(wait_until([&] { return count_descriptors() <= descriptors; }, 8000))
        << count_descriptors() << " descriptors, " << descriptors << " before";
}

// Messages flow from a caller on the source to a steady subscriber while another
// target is reconfigured, switched and replaced over and over.
TEST_F(OperationsTest, changes_to_one_target_do_not_disturb_another_targets_subscriber) {
    int source_port = free_udp_port();
    int steady_port = free_udp_port();
    int32_t id = create_route();
    int32_t steady = add_target(id);
    int32_t churn = add_target(id);
    ASSERT_EQ(update_target(id, steady, 1, CONN_MODE_LISTEN, listen_url(steady_port).c_str()), 0);
    ASSERT_EQ(update_source(id, 1, CONN_MODE_LISTEN, listen_url(source_port).c_str()), 0);
    int subscriber = connect_peer(steady_port);
    ASSERT_NE(subscriber, -1);
    target_t *steady_target = target_by_id(route_by_id(id), steady);
    ASSERT_TRUE(
        wait_until([&] { return count_conns(*route_by_id(id), steady_target->conns) == 1; }, 5000));
    int sender = connect_peer(source_port);
    ASSERT_NE(sender, -1);

    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    std::thread producer([&] {
        char message[1316];
        for (int seq = 0; sending && seq < 100000; seq++) {
            memset(message, seq & 0xff, sizeof message);
            memcpy(message, &seq, sizeof seq);
            if (srt_sendmsg(sender, message, sizeof message, -1, 1) == SRT_ERROR)
                break;
            sent = seq + 1;
            usleep(2000);
        }
    });

    int received = 0;
    int first = -1;
    int last = -1;
    std::atomic<bool> receiving{true};
    std::thread consumer([&] {
        char buf[1500];
        while (receiving) {
            int length = srt_receive(subscriber, buf, sizeof buf, 200);
            if (length != 1316)
                continue;
            int seq;
            memcpy(&seq, buf, sizeof seq);
            if (first == -1)
                first = seq;
            last = seq;
            received++;
        }
    });

    for (int i = 0; i < 20; i++) {
        int port = free_udp_port();
        EXPECT_EQ(update_target(id, churn, 1, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
        int extra = connect_peer(port);
        EXPECT_NE(extra, -1);
        EXPECT_EQ(enable_target(id, churn, 0), 0);
        EXPECT_EQ(enable_target(id, churn, 1), 0);
        int32_t spare = add_target(id);
        EXPECT_EQ(delete_target(id, spare), 0);
        usleep(20 * 1000);
    }
    sending = false;
    producer.join();
    usleep(500 * 1000);
    receiving = false;
    consumer.join();

    ASSERT_GT(received, 100);
    EXPECT_TRUE(is_connected(subscriber));
    int expected = last - first + 1;
    EXPECT_GE(received, expected * 999 / 1000) << received << " of " << expected;
}

} // namespace
