// Traffic, subscriber churn, management changes and the statistics pass at once.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/settings.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/stats.h"
#include "testkit.h"

namespace
{

// Runs fn until stop is set; returns the thread.
template <typename F> std::thread repeat_until(std::atomic<bool> &stop, F fn)
{
    return std::thread([&stop, fn] {
        while (!stop)
            fn();
    });
}

// Subscribers come and go on the steady one's target, another target is
// reconfigured, switched and replaced, and the statistics pass runs.
TEST(EngineStress, churn_while_forwarding_keeps_the_steady_subscriber_served_and_counted)
{
    discard_all_routes();
    reset_id_counters();
    std::string dir = make_temp_dir();
    snprintf(g_config_path, sizeof g_config_path, "%s/config.json", dir.c_str());
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    int32_t id = create_route();
    int32_t tid = add_target(id);
    int32_t spare = add_target(id);
    ASSERT_EQ(update_target(id, tid, 1, 0, ("srt://:" + std::to_string(target_port)).c_str()), 0);
    ASSERT_EQ(update_source(id, 1, 0, ("srt://:" + std::to_string(source_port)).c_str()), 0);

    int steady = srt_open_caller(target_port);
    ASSERT_NE(steady, -1);
    int source = srt_open_caller(source_port);
    ASSERT_NE(source, -1);

    // Numbered messages; the steady subscriber notes the first and last it got.
    std::atomic<bool> stop{false};
    std::atomic<int> next_seq{0}, received{0}, first{-1}, last{-1};
    std::vector<std::thread> threads;
    threads.push_back(repeat_until(stop, [&, source] {
        char message[1316] = {};
        int seq = next_seq;
        memcpy(message, &seq, sizeof seq);
        if (srt_sendmsg(source, message, sizeof message, -1, 1) != SRT_ERROR)
            next_seq++;
        usleep(2000);
    }));
    threads.push_back(repeat_until(stop, [&, steady] {
        char buf[1500];
        int seq;
        if (srt_receive(steady, buf, sizeof buf, 100) != 1316)
            return;
        memcpy(&seq, buf, sizeof seq);
        if (first == -1)
            first = seq;
        last = seq;
        received++;
    }));
    // Subscribers that come and go.
    threads.push_back(repeat_until(stop, [target_port] {
        int sock = srt_open_caller(target_port, "", 1000);
        usleep(50 * 1000);
        if (sock != -1)
            srt_close(sock);
    }));
    // The main loop's statistics pass, ten times faster.
    threads.push_back(repeat_until(stop, [] {
        pthread_mutex_lock(&g_routes_lock);
        pthread_mutex_lock(&stat_lock);
        print_route_stats(0.1f);
        pthread_mutex_unlock(&stat_lock);
        pthread_mutex_unlock(&g_routes_lock);
        int subscribers = 0, loss_total = 0, loss = 0;
        float rtt = 0;
        get_endpoint_stats(100, 1000, &subscribers, &loss_total, &loss, &rtt);
        usleep(100 * 1000);
    }));
    // Management changes on the other target, with a caller on it each time.
    threads.push_back(repeat_until(stop, [id, spare] {
        int port = free_udp_port();
        update_target(id, spare, 1, 0, ("srt://:" + std::to_string(port)).c_str());
        int caller = srt_open_caller(port, "", 1000);
        enable_target(id, spare, 0);
        enable_target(id, spare, 1);
        delete_target(id, add_target(id));
        if (caller != -1)
            srt_close(caller);
        usleep(20 * 1000);
    }));

    sleep(4);
    stop = true;
    for (std::thread &thread : threads)
        thread.join();

    // Messages flowed (how many depends on the machine), and nothing between the
    // first and the last is missing.
    EXPECT_GT(received, 100);
    EXPECT_GE(received, (last - first + 1) * 999 / 1000) << received << " of " << last - first + 1;
    EXPECT_EQ(srt_getsockstate(steady), SRTS_CONNECTED);

    // Once the churned subscribers are gone, the steady one's counters hold what
    // it was really sent: what it received, plus at most what was in flight.
    route_t &route = g_routes.front();
    target_t &target = route.targets.front();
    ASSERT_TRUE(wait_until([&] { return count_conns(route, target.conns) == 1; }, 8000));
    pthread_mutex_lock(&route.list_lock);
    int64_t sent = target.conns.front().sent_total + target.conns.front().sent_delta;
    pthread_mutex_unlock(&route.list_lock);
    EXPECT_GE(sent, (int64_t)received * 1316);
    EXPECT_LE(sent, ((int64_t)received + 200) * 1316);
    srt_close(steady);
    srt_close(source);
    discard_all_routes();
    remove_tree(dir);
}

} // namespace
