// Route management operations against real SRT sockets on loopback.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/settings.h"
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
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir)) {
        std::string comm = "/proc/self/" + folder + "/" + entry->d_name + "/comm";
        if (entry->d_name[0] != '.' &&
            (prefix.empty() || read_text_file(comm).rfind(prefix, 0) == 0))
            count++;
    }
    closedir(dir);
    return count;
}

// The route's connection-handler ("conn:ID") or transmit ("xmit:ID") threads.
int count_threads(const char *kind, int32_t id)
{
    return count_proc_entries("task", kind + std::to_string(id));
}

// Every day file of the log folder, concatenated.
std::string day_log(void)
{
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

route_t *route_by_id(int32_t id)
{
    for (route_t &route : g_routes)
        if (route.id == id)
            return &route;
    return nullptr;
}

target_t *target_by_id(int32_t route_id, int32_t id)
{
    for (target_t &target : route_by_id(route_id)->targets)
        if (target.id == id)
            return &target;
    return nullptr;
}

size_t target_conns(int32_t route_id, int32_t id)
{
    return count_conns(*route_by_id(route_id), target_by_id(route_id, id)->conns);
}

std::string listen_url(int port)
{
    return "srt://:" + std::to_string(port);
}

int source_on(int32_t id, int port)
{
    return update_source(id, 1, CONN_MODE_LISTEN, listen_url(port).c_str());
}

int target_on(int32_t id, int32_t tid, int port)
{
    return update_target(id, tid, 1, CONN_MODE_LISTEN, listen_url(port).c_str());
}

class OperationsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        discard_all_routes();
        reset_id_counters();
        dir_ = make_temp_dir();
        snprintf(g_config_path, sizeof g_config_path, "%s/config.json", dir_.c_str());
    }
    void TearDown() override
    {
        for (int sock : peers_)
            srt_close(sock);
        discard_all_routes();
        remove_tree(dir_);
    }
    // A caller that the test closes in TearDown.
    int connect_peer(int port)
    {
        int sock = srt_open_caller(port, "", 1500);
        if (sock != -1)
            peers_.push_back(sock);
        return sock;
    }
    std::string config_text() const
    {
        return read_text_file(g_config_path);
    }
    // The document of the registry as it stands: what the file must hold after any operation.
    std::string registry_text() const
    {
        std::vector<route_settings_t> routes;
        collect_route_settings(routes);
        size_t size = 0;
        char *text = format_route_document(routes, &size);
        std::string copy(text, size);
        free(text);
        return copy;
    }

    std::string dir_;
    std::vector<int> peers_;
};

// Any non-zero "enabled" is stored as 1, so 256, 1 and 7 are the same configuration.
TEST_F(OperationsTest, listen_source_accepts_a_caller_and_same_configuration_keeps_it)
{
    int port = free_udp_port();
    int32_t id = create_route();
    ASSERT_EQ(update_source(id, 256, CONN_MODE_LISTEN, listen_url(port).c_str()), 0);
    route_t *route = route_by_id(id);
    EXPECT_EQ(route->source.enabled, 1);
    EXPECT_NE(config_text().find("\"enabled\":1"), std::string::npos);
    EXPECT_EQ(count_threads("conn:", id), 1);
    int peer = connect_peer(port);
    ASSERT_NE(peer, -1);
    ASSERT_TRUE(wait_until([&] { return count_conns(*route, route->conns) == 1; }, 3000));

    EXPECT_EQ(source_on(id, port), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_EQ(enable_source(id, 7), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    usleep(300 * 1000);
    EXPECT_EQ(srt_getsockstate(peer), SRTS_CONNECTED);
    EXPECT_EQ(count_conns(*route, route->conns), 1u);
}

// A target updated while its source is off is opened at once.
TEST_F(OperationsTest, source_off_and_on_keeps_one_thread_pair_and_reopens_enabled_targets)
{
    int source_port = free_udp_port();
    int on_port = free_udp_port();
    int off_port = free_udp_port();
    int32_t id = create_route();
    int32_t on = add_target(id);
    int32_t off = add_target(id);
    ASSERT_EQ(target_on(id, on, on_port), 0);
    ASSERT_EQ(update_target(id, off, 0, CONN_MODE_LISTEN, listen_url(off_port).c_str()), 0);
    EXPECT_EQ(count_threads("conn:", id), 0);
    EXPECT_NE(target_by_id(id, on)->basesockout, -1) << "opened while the source is off";
    EXPECT_EQ(target_by_id(id, off)->basesockout, -1);

    ASSERT_EQ(source_on(id, source_port), 0);
    EXPECT_EQ(count_threads("conn:", id), 1);
    EXPECT_EQ(count_threads("xmit:", id), 1);
    ASSERT_NE(connect_peer(on_port), -1);
    // A caller still in the listener's backlog is not told when the listener closes.
    ASSERT_TRUE(wait_until([&] { return target_conns(id, on) == 1; }, 5000));

    ASSERT_EQ(enable_source(id, 0), 0);
    EXPECT_EQ(target_conns(id, on), 0u) << "switching the source off closes the targets' conns";
    EXPECT_EQ(target_by_id(id, on)->basesockout, -1);
    EXPECT_EQ(connect_peer(on_port), -1) << "the target's listener is closed too";
    EXPECT_EQ(count_threads("conn:", id), 1);

    ASSERT_EQ(enable_source(id, 1), 0);
    EXPECT_EQ(count_threads("conn:", id), 1);
    EXPECT_EQ(count_threads("xmit:", id), 1);
    EXPECT_NE(connect_peer(on_port), -1);
    EXPECT_EQ(connect_peer(off_port), -1);
    EXPECT_NE(connect_peer(source_port), -1);
}

// Then deleting the route stops its threads and closes the source's caller.
TEST_F(OperationsTest, deleting_a_target_with_three_subscribers_logs_three_disconnects)
{
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    int32_t id = create_route();
    int32_t tid = add_target(id);
    ASSERT_EQ(target_on(id, tid, target_port), 0);
    ASSERT_EQ(source_on(id, source_port), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_NE(connect_peer(target_port), -1);
    int publisher = connect_peer(source_port);
    ASSERT_NE(publisher, -1);
    ASSERT_TRUE(wait_until([&] { return target_conns(id, tid) == 3; }, 5000));

    size_t before = count_occurrences(day_log(), "[CONNTHREAD] target has disconnected");
    ASSERT_EQ(delete_target(id, tid), 0);
    EXPECT_EQ(count_occurrences(day_log(), "[CONNTHREAD] target has disconnected"), before + 3);
    EXPECT_EQ(delete_target(id, tid), -1);
    EXPECT_EQ(config_text().find("\"targets\":{}"), config_text().find("\"targets\""));

    ASSERT_EQ(delete_route(id), 0);
    // The done flags are each thread's last act; the thread itself is gone a moment later.
    EXPECT_TRUE(wait_until(
        [&] { return count_threads("conn:", id) + count_threads("xmit:", id) == 0; }, 2000));
    EXPECT_TRUE(wait_until([&] { return srt_getsockstate(publisher) != SRTS_CONNECTED; }, 5000));
    EXPECT_EQ(delete_route(id), -1);
    EXPECT_EQ(config_text(), "{}");
}

// Each failure leaves the state the operation documents, and the file always holds
// what the registry holds; a busy port or an unparsable address forces the failure.
TEST_F(OperationsTest, failures_leave_documented_state_and_the_file_matches_the_registry)
{
    int busy_port = free_udp_port();
    int holder = srt_open_listener(busy_port);
    ASSERT_NE(holder, -1);
    peers_.push_back(holder);
    int32_t id = create_route();

    const std::pair<int, std::string> sources[] = {{CONN_MODE_LISTEN, listen_url(busy_port)},
                                                   {CONN_MODE_CALLER, "srt://relay.example:9000"}};
    for (const auto &source : sources) {
        SCOPED_TRACE(source.second);
        EXPECT_EQ(update_source(id, 1, source.first, source.second.c_str()), -1);
        EXPECT_STREQ(g_last_error, "Creating source's SRT Socket failed");
        route_t *route = route_by_id(id);
        EXPECT_EQ(route->source.enabled, 0);
        EXPECT_EQ(route->source.mode, source.first);
        EXPECT_EQ(route->source.url, source.second);
        EXPECT_EQ(route->basesockin, -1);
        EXPECT_EQ(config_text(), registry_text());
        EXPECT_EQ(count_threads("conn:", id), 0);
    }

    const char no_source[] = "Source(999) does not fouond";
    const char no_target[] = "Target(1000) on route(100) does not fouond";
    const std::pair<std::function<int()>, const char *> missing[] = {
        {[] { return update_source(999, 1, 0, "srt://:1"); }, no_source},
        {[] { return enable_source(999, 1); }, no_source},
        {[id] { return enable_target(id, 1000, 1); }, no_target},
        {[id] { return update_target(id, 1000, 1, 0, "srt://:1"); }, no_target},
    };
    for (const auto &row : missing) {
        EXPECT_EQ(row.first(), -1) << row.second;
        EXPECT_STREQ(g_last_error, row.second);
    }

    int32_t bad = add_target(id);
    EXPECT_EQ(target_on(id, bad, busy_port), -1);
    EXPECT_STREQ(g_last_error, "Creating Target's SRT Socket failed");
    target_t *target = target_by_id(id, bad);
    EXPECT_EQ(target->endpoint.enabled, 1) << "the new settings are kept";
    EXPECT_EQ(target->endpoint.url, listen_url(busy_port));
    EXPECT_EQ(target->basesockout, -1);
    EXPECT_EQ(config_text(), registry_text());

    // One target that cannot open does not take its route down: the source, the
    // other targets and the threads come up, and the error names the bad target.
    int32_t good = add_target(id);
    int good_port = free_udp_port();
    ASSERT_EQ(target_on(id, good, good_port), 0);
    EXPECT_EQ(source_on(id, free_udp_port()), -1);
    EXPECT_EQ(std::string(g_last_error),
              "Creating target's SRT Socket failed: " + std::to_string(bad));
    EXPECT_EQ(route_by_id(id)->source.enabled, 1);
    EXPECT_NE(route_by_id(id)->basesockin, -1);
    EXPECT_NE(target_by_id(id, good)->basesockout, -1);
    EXPECT_EQ(count_threads("conn:", id), 1);
    EXPECT_NE(connect_peer(good_port), -1) << "the good target serves";
    EXPECT_EQ(config_text(), registry_text());
}

TEST_F(OperationsTest, unusable_urls_are_refused_and_change_nothing)
{
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
    std::string longest = listen_url(free_udp_port()) + "?streamid=";
    longest += std::string(ENDPOINT_URL_SIZE - 1 - longest.size(), 'b');
    ASSERT_EQ(update_target(id, tid, 0, 0, longest.c_str()), 0);
    EXPECT_EQ(target_by_id(id, tid)->endpoint.url, longest);
    EXPECT_EQ(update_target(id, tid, 0, 0, longest.c_str()), -1);
    EXPECT_STREQ(g_last_error, "Same configration exist");
    EXPECT_NE(config_text().find(longest), std::string::npos);
}

// A hundred on/off and create/delete cycles leave no thread and no descriptor behind.
TEST_F(OperationsTest, hundred_cycles_leave_thread_and_descriptor_counts_unchanged)
{
    int32_t id = create_route();
    ASSERT_EQ(target_on(id, add_target(id), free_udp_port()), 0);
    ASSERT_EQ(source_on(id, free_udp_port()), 0);
    sleep(2);
    int threads = count_proc_entries("task");
    int descriptors = count_proc_entries("fd");

    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(enable_source(id, 0), 0);
        ASSERT_EQ(enable_source(id, 1), 0);
        int32_t spare = create_route();
        ASSERT_GT(spare, 0);
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
