// The relay binary forwarding live SRT streams between real peers on loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

int local_port(int sock)
{
    struct sockaddr_in local = {};
    int len = sizeof local;
    srt_getsockname(sock, (struct sockaddr *)&local, &len);
    return ntohs(local.sin_port);
}

class RelayStreamTest : public idle_relay_fixture
{
  protected:
    void TearDown() override
    {
        if (relay.child.pid > 0)
            EXPECT_EQ(stop_relay(relay), 15);
        idle_relay_fixture::TearDown();
    }
    void start_with(const std::string &source_mode, const std::string &source_url,
                    const std::string &target_mode, const std::string &target_url,
                    const std::map<std::string, std::string> &env = {})
    {
        restart_with(route_file(source_mode, source_url, target_mode, target_url), env);
    }
    void start_listen_pair(const std::string &target_query = "")
    {
        start_with("listen", srt_url("", source_port_), "listen",
                   srt_url("", target_port_) + target_query);
    }
    // A caller on the target (by default the first) that the relay has accepted (it logs it).
    int subscribe(const std::string &streamid = "", int port = 0)
    {
        size_t before = count_occurrences(relay_stdout(relay), "New target");
        int sock = keep(srt_open_caller(port != 0 ? port : target_port_, streamid));
        wait_until([&] { return count_occurrences(relay_stdout(relay), "New target") > before; },
                   sock != -1 ? 5000 : 0);
        return sock;
    }

    static std::string target_refusals(const std::string &reason)
    {
        return "mirevo_connections_rejected_total{route=\"100\",side=\"target\",reason=\"" +
               reason + "\"}";
    }

    int source_port_ = free_udp_port();
    int target_port_ = free_udp_port();
};

// Other stream ids are refused in the handshake (1403), counted, and logged once a second at most.
TEST_F(RelayStreamTest, admitted_subscribers_get_every_message_and_wrong_stream_ids_get_1403)
{
    start_listen_pair("?streamid=cam1");
    for (const char *streamid : {"cam2", "", "CAM1", "cam1x"}) {
        for (int i = 0; i < 5; i++) {
            int reason = 0;
            EXPECT_EQ(srt_open_caller(target_port_, streamid, 3000, &reason), -1);
            EXPECT_EQ(reason, SRT_REJX_FORBIDDEN) << streamid;
        }
    }
    std::vector<std::unique_ptr<peer_t>> admitted;
    for (int i = 0; i < 5; i++)
        admitted.emplace_back(new peer_t(subscribe("cam1")));
    peer_t sender(keep(srt_open_caller(source_port_)), 475); // 1316-byte messages: 5 Mbit/s
    sleep(4);
    // What came before the relay listed the source may be lost, nothing after.
    expect_whole_stream(sender, admitted, 50);
    EXPECT_EQ(wait_metric(target_refusals("streamid"), 20), 20);
    EXPECT_TRUE(wait_relay_output(relay, "[STATS 100->1000] [1 sources; 5 targets] 5: [+1.", 5000));
    EXPECT_GE(wait_relay_count(relay, "Refused caller 127.0.0.1:", 1, 5000), 1u);
    std::string out = relay_stdout(relay);
    EXPECT_EQ(count_occurrences(out, "[CONNTHREAD] New target"), 5u);
    EXPECT_LE(count_occurrences(out, "Refused caller 127.0.0.1:"), 2u) << out;
}

// The relay calls peers that listen, and calls them again after they restart.
TEST_F(RelayStreamTest, pull_source_and_push_target_reconnect_after_peer_restart)
{
    int upstream = keep(srt_open_listener(source_port_));
    int downstream = keep(srt_open_listener(target_port_));
    start_with("pull", srt_url("127.0.0.1", source_port_), "push",
               srt_url("127.0.0.1", target_port_));
    int feed = keep(srt_accept_one(upstream, 5000));
    int sink = keep(srt_accept_one(downstream, 5000));
    ASSERT_NE(feed, -1);
    ASSERT_NE(sink, -1);
    auto sender = std::make_unique<peer_t>(feed, 200);
    auto receiver = std::make_unique<peer_t>(sink);
    EXPECT_TRUE(wait_until([&] { return receiver->count > 100; }, 5000));

    // The downstream peer restarts: the relay rebuilds its calling socket.
    receiver->stop();
    srt_close(sink);
    srt_close(downstream);
    downstream = keep(srt_open_listener(target_port_));
    sink = keep(srt_accept_one(downstream, 10000));
    ASSERT_NE(sink, -1) << "the push target called again";
    receiver = std::make_unique<peer_t>(sink);
    EXPECT_TRUE(wait_until([&] { return receiver->count > 100; }, 5000));
    EXPECT_EQ(receiver->corrupt, 0);

    // The upstream peer restarts: the relay pulls again.
    sender->stop();
    srt_close(feed);
    srt_close(upstream);
    upstream = keep(srt_open_listener(source_port_));
    feed = keep(srt_accept_one(upstream, 10000));
    ASSERT_NE(feed, -1) << "the pull source called again";
    sender = std::make_unique<peer_t>(feed, 200, 500000);
    EXPECT_TRUE(wait_until([&] { return receiver->last >= 500100u; }, 5000));
}

// A caller that cannot be watched once ended the handler thread; now only it is closed.
TEST_F(RelayStreamTest, caller_that_cannot_be_watched_is_closed_and_the_route_serves_on)
{
    start_with("listen", srt_url("", source_port_), "listen", srt_url("", target_port_),
               {{"LD_PRELOAD", EPOLL_FAIL_SHIM}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    subscribe();
    EXPECT_TRUE(wait_relay_output(relay, "snd srt_epoll_add_usock", 5000));
    peer_t receiver(subscribe());
    peer_t sender(keep(srt_open_caller(source_port_)), 200);
    EXPECT_TRUE(wait_until([&] { return receiver.count > 100; }, 5000));
    EXPECT_EQ(call("GET", "/api/routes").body, "{\"100\":{\"enabled\":1}}");
    EXPECT_EQ(wait_metric(target_refusals("register"), 1), 1);
}

// A late source is forwarded whole; a stalled subscriber's misses show as its own drops only.
TEST_F(RelayStreamTest, late_source_and_stalled_subscriber_cost_the_others_nothing)
{
    start_listen_pair();
    int stalled = keep(srt_open_caller(target_port_, "", 3000, nullptr, 32));
    ASSERT_NE(stalled, -1);
    std::vector<std::unique_ptr<peer_t>> healthy;
    for (int i = 0; i < 9; i++)
        healthy.emplace_back(new peer_t(subscribe()));
    usleep(1500 * 1000);
    peer_t sender(keep(srt_open_caller(source_port_)), 475);
    sleep(4);
    expect_whole_stream(sender, healthy, 0);
    // The others leave; a burst overfills the stalled one's send buffer (8192 packets).
    for (auto &peer : healthy)
        srt_close(peer->sock);
    peer_t burst(sender.sock, 4000, sender.next);
    sleep(3);
    burst.stop();
    // Each message forwarded is either taken or counted as dropped.
    json_int_t figures[2][2]; // bytes, dropped: source, stalled target
    size_t listed = 0;
    auto reconciled = [&] {
        json_t *rows = parse_json_body(call("GET", "/api/connections", "route_id=100").body), *row;
        size_t i;
        listed = json_array_size(rows);
        memset(figures, 0, sizeof figures);
        json_array_foreach(rows, i, row)
        {
            int side = json_is_null(json_object_get(row, "target_id")) ? 0 : 1;
            figures[side][0] = json_integer_value(json_object_get(row, "bytes"));
            figures[side][1] = json_integer_value(json_object_get(row, "packets_dropped"));
        }
        json_decref(rows);
        return listed == 2 && figures[1][1] > 0 &&
               figures[1][0] / MESSAGE_SIZE + figures[1][1] == figures[0][0] / MESSAGE_SIZE;
    };
    wait_until(reconciled, 10000);
    ASSERT_EQ(listed, 2u);
    EXPECT_GT(figures[1][1], 0);
    EXPECT_EQ(figures[1][0] / MESSAGE_SIZE + figures[1][1], figures[0][0] / MESSAGE_SIZE);
}

int64_t median_ms(std::vector<int64_t> values)
{
    if (values.empty())
        return -1;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2] / 1000;
}

// Behind a 200 ms leg a plain 300 ms target plays at ~500 ms, a source-time one at ~300;
// a late joiner starts near its join and misses none.
TEST_F(RelayStreamTest, source_time_subscribers_play_at_origin_plus_their_latency)
{
    int timed_port = free_udp_port();
    auto target = [](int port, const std::string &query) {
        return "{\"enabled\":1,\"mode\":\"listen\",\"url\":\"srt://:" + std::to_string(port) +
               "?latency=300" + query + "\"}";
    };
    restart_with("{\"100\":{\"source_id\":100,\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                 srt_url("", source_port_) + "?latency=200\",\"targets\":{\"999\":" +
                 target(free_udp_port(), "") + ",\"1000\":" + target(target_port_, "") +
                 ",\"1001\":" + target(timed_port, "&sourcetime=1") + "}}}");
    std::vector<std::unique_ptr<peer_t>> viewers;
    viewers.emplace_back(new peer_t(subscribe()));
    viewers.emplace_back(new peer_t(subscribe("", timed_port)));
    peer_t sender(keep(srt_open_caller(source_port_)), 200);
    sleep(2);
    uint32_t before_join = sender.next;
    viewers.emplace_back(new peer_t(subscribe("", timed_port)));
    uint32_t joined = sender.next;
    sleep(2);
    expect_whole_stream(sender, viewers, UINT32_MAX);
    EXPECT_GE(viewers[2]->first + 15, before_join);
    EXPECT_LE(viewers[2]->first, joined + 15);
    // Each leg adds its latency and a few ms, more on a busy machine.
    int64_t plain = median_ms(viewers[0]->latency_us);
    EXPECT_GE(plain, 490);
    for (int i : {1, 2}) {
        EXPECT_GE(median_ms(viewers[i]->latency_us), 295) << i;
        EXPECT_LE(median_ms(viewers[i]->latency_us), plain - 170) << i;
    }
    std::string connections = call("GET", "/api/connections", "target_id=1001").body;
    EXPECT_EQ(count_occurrences(connections, "\"source_time\":true,\"latency_ms\":300"), 2u)
        << connections;
}

// failover=500: the standby takes over within a second of a SIGSTOP and keeps the route after.
TEST_F(RelayStreamTest, standby_publisher_takes_over_a_stalled_one_for_good)
{
    start_with("listen", srt_url("", source_port_) + "?failover=500", "listen",
               srt_url("", target_port_));
    peer_t viewer(subscribe());
    int inputs[2] = {free_udp_port(), free_udp_port()};
    std::atomic<bool> feeding{true};
    std::atomic<uint32_t> fed{0};
    std::thread feeder([&] {
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        char message[MESSAGE_SIZE];
        for (; feeding; fed++, usleep(5000)) {
            for (uint32_t seq = fed, i = 0; i < 2; i++) {
                fill_message(message, seq + i * 1000000);
                to.sin_port = htons((uint16_t)inputs[i]);
                sendto(udp, message, MESSAGE_SIZE, 0, (struct sockaddr *)&to, sizeof to);
            }
        }
        close(udp);
    });
    for (int i = 0; i < 2; i++) {
        run("publisher" + std::to_string(i),
            {"srt-live-transmit", "-q", "udp://:" + std::to_string(inputs[i]),
             srt_url("127.0.0.1", source_port_)});
        EXPECT_TRUE(wait_until(
            [&] { return count_occurrences(relay_stdout(relay), "New source") == i + 1u; }, 5000));
        sleep(1);
    }
    viewer.longest_gap_us = 0;
    kill(children[0].pid, SIGSTOP);
    sleep(3);
    kill(children[0].pid, SIGCONT);
    sleep(2);
    feeding = false;
    feeder.join();
    EXPECT_TRUE(wait_until([&] { return viewer.last + 5 >= 1000000u + fed; }, 5000));
    viewer.stop();
    EXPECT_LT(viewer.longest_gap_us, 1000000);
    EXPECT_LT(*std::max_element(viewer.latency_us.begin(), viewer.latency_us.end()), 1000000)
        << "nothing queued is forwarded";
    EXPECT_GE(viewer.last + 5, 1000000u + fed) << "the standby is forwarded to the end";
    EXPECT_EQ(viewer.out_of_order + viewer.corrupt, 0);
    EXPECT_EQ(wait_metric("mirevo_route_source_switches_total{route=\"100\"}", 1), 1);
    EXPECT_EQ(wait_relay_count(relay, "takes over", 1, 5000), 1u);
    std::string sources = call("GET", "/api/connections", "route_id=100").body;
    EXPECT_EQ(count_occurrences(sources, "\"active\":true"), 1u) << sources;
    EXPECT_EQ(count_occurrences(sources, "\"active\":false"), 1u) << sources;
}

// Peers listed with ports and sides; a kick closes one; promtool and Prometheus take the metrics.
TEST_F(RelayStreamTest, connections_are_listed_kicked_and_scraped)
{
    start_listen_pair("?streamid=viewer");
    int first = subscribe("viewer");
    peer_t kicked(first), staying(subscribe("viewer"));
    int publisher = keep(srt_open_caller(source_port_));
    peer_t sender(publisher, 200);
    json_t *rows = nullptr;
    auto listed = [&] {
        json_decref(rows);
        rows = parse_json_body(call("GET", "/api/connections").body);
        size_t i;
        json_t *row;
        int flowing = 0;
        json_array_foreach(rows, i, row) flowing +=
            json_real_value(json_object_get(row, "mbps")) > 0;
        return json_array_size(rows) == 3 && flowing == 3;
    };
    ASSERT_TRUE(wait_until(listed, 5000));
    std::map<int, std::string> expected = {{local_port(first), "target viewer"},
                                           {local_port(staying.sock), "target viewer"},
                                           {local_port(publisher), "source "}};
    size_t i;
    json_t *row;
    json_int_t kicked_id = -1;
    json_array_foreach(rows, i, row)
    {
        std::string peer = json_string_value(json_object_get(row, "peer"));
        int port = atoi(peer.c_str() + peer.rfind(':') + 1);
        std::string side = json_string_value(json_object_get(row, "side"));
        EXPECT_EQ(side + " " + json_string_value(json_object_get(row, "stream_id")), expected[port])
            << peer;
        EXPECT_EQ(json_integer_value(json_object_get(row, "route_id")), 100);
        EXPECT_EQ(json_is_null(json_object_get(row, "target_id")), side == "source");
        if (port == local_port(first))
            kicked_id = json_integer_value(json_object_get(row, "id"));
    }
    json_decref(rows);
    EXPECT_EQ(call("GET", "/api/connections", "route_id=999").body, "[]");

    EXPECT_EQ(call("DELETE", "/api/connections/" + std::to_string(kicked_id)).body, "Ok");
    EXPECT_TRUE(wait_until([&] { return srt_getsockstate(first) != SRTS_CONNECTED; }, 3000));
    int count = staying.count;
    EXPECT_TRUE(wait_until([&] { return staying.count > count + 100; }, 5000));
    http_response_t again = call("DELETE", "/api/connections/" + std::to_string(kicked_id));
    EXPECT_EQ(again.status, 555);
    EXPECT_EQ(again.body, "{\"error\":\"Connection " + std::to_string(kicked_id) + " not found\"}");
    peer_t back(subscribe("viewer"));
    EXPECT_TRUE(wait_until([&] { return back.count > 100; }, 5000)) << "accepted again";

    std::string text = call("GET", "/api/metrics").body;
    EXPECT_EQ(wait_metric("mirevo_connections_accepted_total{route=\"100\",side=\"target\"}", 3),
              3);
    write_text_file(dir + "/metrics.txt", text);
    child_process_t &promtool =
        run("promtool", {"sh", "-c", "promtool check metrics < '" + dir + "/metrics.txt'"});
    ASSERT_TRUE(wait_process(promtool, 20000));
    EXPECT_EQ(promtool.status, 0) << read_text_file(dir + "/promtool.err")
                                  << read_text_file(dir + "/promtool.out");

    int web_port = free_tcp_port();
    write_text_file(dir + "/prometheus.yml",
                    "global: {scrape_interval: 1s}\nscrape_configs:\n"
                    "  - {job_name: mirevo, metrics_path: /api/metrics,\n"
                    "     authorization: {type: Bearer, credentials: " +
                        relay.api_key + "},\n     static_configs: [{targets: ['127.0.0.1:" +
                        std::to_string(relay.http_port) + "']}]}\n");
    run("prometheus", {"prometheus", "--config.file=" + dir + "/prometheus.yml",
                       "--storage.tsdb.path=" + dir + "/tsdb",
                       "--web.listen-address=127.0.0.1:" + std::to_string(web_port)});
    std::string query =
        "/api/v1/query?query=" + url_encode("rate(mirevo_target_sent_bytes_total[5s]) > 0");
    EXPECT_TRUE(wait_until(
        [&] {
            return http_request(web_port, "GET", query).body.find("\"target\":\"1000\"") !=
                   std::string::npos;
        },
        30000))
        << read_text_file(dir + "/prometheus.err");
}

// Past the 1000th subscriber the relay once sent to nobody (one epoll wait's room).
TEST_F(RelayStreamTest, eleven_hundred_subscribers_of_one_target_all_receive)
{
#ifndef MIREVO_LOAD
    GTEST_SKIP() << "the load tool is built for trees without a sanitizer";
#else
    start_listen_pair();
    child_process_t &sub = run(
        "sub", {MIREVO_LOAD, "sub", "--url", srt_url("127.0.0.1", target_port_), "--count", "1100",
                "--share-port", "--no-tsbpd", "--duration", "60", "--quiet-ms", "6000",
                "--ready-file", dir + "/ready"});
    ASSERT_TRUE(wait_until([&] { return access((dir + "/ready").c_str(), F_OK) == 0; }, 30000));
    ASSERT_TRUE(wait_until(
        [&] { return metric("mirevo_target_connections{route=\"100\",target=\"1000\"}") == 1100; },
        15000));
    ASSERT_TRUE(
        wait_process(run("gen", {MIREVO_LOAD, "gen", "--url", srt_url("127.0.0.1", source_port_),
                                 "--rate", "200000", "--duration", "4"}),
                     30000));
    EXPECT_TRUE(wait_until(
        [&] {
            double received = metric("mirevo_route_received_bytes_total{route=\"100\"}");
            return received > 0 &&
                   metric("mirevo_target_sent_bytes_total{route=\"100\",target=\"1000\"}") >=
                       1100 * received;
        },
        30000));
    // The set ends by itself once every message in flight has arrived.
    EXPECT_TRUE(wait_process(sub, 40000));
    json_t *report = parse_json_body(read_text_file(sub.out_path));
    EXPECT_EQ(json_integer_value(json_object_get(report, "connected")), 1100);
    double worst = json_real_value(json_object_get(json_object_get(report, "worst"), "ratio"));
    // On one shared local port a lost tail has no later message to reveal it, and beside
    // other tests the tail comes seconds late; past the 1000th subscriber the relay sent 0.
    EXPECT_GE(worst, 0.5) << read_text_file(sub.out_path).substr(0, 400);
    json_decref(report);
#endif
}

// Callers that hang up at connect were once listed for ever (they broke before being watched).
TEST_F(RelayStreamTest, callers_gone_at_connect_are_never_listed)
{
    auto none_listed = [&] {
        EXPECT_TRUE(wait_until(
            [&] { return get_body("/api/connections", "route_id=100") == "[]"; }, 15000))
            << get_body("/api/connections", "route_id=100");
        EXPECT_EQ(metric("mirevo_target_connections{route=\"100\",target=\"1000\"}"), 0);
    };
    start_listen_pair();
    std::vector<std::thread> knockers;
    std::atomic<int> connected{0};
    const int each = SANITIZED ? 100 : 250;
    for (int t = 0; t < 4; t++)
        knockers.emplace_back([&, t] {
            for (int i = 0; i < each; i++) {
                int sock = srt_open_caller(i % 2 == 0 ? target_port_ : source_port_, "", 3000);
                if (sock != -1) {
                    connected++;
                    srt_close(sock);
                }
            }
        });
    for (std::thread &knocker : knockers)
        knocker.join();
    EXPECT_GT(connected, 4 * each * 4 / 5);
    none_listed();
    // Made certain: each caller leaves while the relay, having logged it, waits in its watch.
    start_with("listen", srt_url("", source_port_), "listen", srt_url("", target_port_),
               {{"LD_PRELOAD", EPOLL_FAIL_SHIM}, {"SHIM_WATCH_DELAY_MS", "200"},
                {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    for (int i = 0; i < 5; i++)
        srt_close(subscribe());
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "New target"), 5u);
    none_listed();
}

// Wrong or missing passphrases are counted and logged; counts survive edits that reopen the port.
TEST_F(RelayStreamTest, passphrase_refusals_are_counted_and_logged_through_edits)
{
    start_listen_pair("?passphrase=correct-horse-1");
    const std::string secret_refused = target_refusals("secret");
    int told = 0;
    for (const char *passphrase : {"", "wrong-horse-12"}) {
        for (int i = 0; i < 5; i++) {
            int reason = 0;
            EXPECT_EQ(srt_open_caller(target_port_, "", 3000, &reason, 0, passphrase), -1);
            EXPECT_TRUE(reason == SRT_REJ_BADSECRET || reason == SRT_REJ_UNSECURE) << reason;
            told++;
        }
    }
    EXPECT_TRUE(wait_until([&] { return metric(secret_refused) == told; }, 5000))
        << metric(secret_refused);
    EXPECT_TRUE(wait_relay_output(relay, "wrong or missing passphrase", 5000));
    // Each refusal right before an edit reopens the endpoint.
    for (int edit = 0; edit < 6; edit++) {
        int reason = 0;
        EXPECT_EQ(srt_open_caller(target_port_, "", 3000, &reason), -1);
        told++;
        std::string url = srt_url("", target_port_) + "?passphrase=correct-horse-" +
                          std::to_string(edit + 2);
        ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                       "enabled=1&mode=listen&url=" + url_encode(url))
                      .status,
                  200);
    }
    EXPECT_TRUE(wait_until([&] { return metric(secret_refused) == told; }, 5000))
        << metric(secret_refused) << " of " << told;
}

// Without failover a waiting publisher starts live: its buffered past never bursts out.
TEST_F(RelayStreamTest, waiting_publisher_starts_live_when_the_first_ends)
{
    start_listen_pair();
    peer_t viewer(subscribe());
    peer_t first(keep(srt_open_caller(source_port_)), 200);
    ASSERT_TRUE(wait_until([&] { return viewer.count > 50; }, 5000));
    peer_t second(keep(srt_open_caller(source_port_)), 200, 1000000);
    sleep(3);
    first.stop();
    uint32_t live_from = second.next;
    srt_close(first.sock);
    ASSERT_TRUE(wait_until([&] { return viewer.last >= 1000000u; }, 5000));
    EXPECT_TRUE(wait_until([&] { return viewer.last > live_from + 100; }, 5000));
    second.stop();
    viewer.stop();
    // What the second sent while it waited (about 600 messages, 3 s) stays behind.
    EXPECT_EQ(viewer.corrupt, 0);
    EXPECT_LT(*std::max_element(viewer.latency_us.begin(), viewer.latency_us.end()), 1000000)
        << "nothing the second publisher sent while it waited is forwarded late";
}

} // namespace
