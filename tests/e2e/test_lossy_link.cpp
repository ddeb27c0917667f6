// The relay's real binary behind lossy, slow links made by the load tool's UDP middlebox.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

#ifdef MIREVO_LOAD_TOOL

class LossyLinkTest : public idle_relay_fixture
{
  protected:
    // The load tool with args, output in dir/name.out and .err.
    child_process_t &run_load(const std::string &name, std::vector<std::string> args)
    {
        args.insert(args.begin(), MIREVO_LOAD_TOOL);
        return run(name, args);
    }
    // A middlebox from listen_port to to_port; SRT callers repeat a handshake it missed.
    child_process_t &impair(const std::string &name, int listen_port, int to_port,
                            std::vector<std::string> rule)
    {
        rule.insert(rule.begin(), {"impair", "--listen", std::to_string(listen_port), "--to",
                                   "127.0.0.1:" + std::to_string(to_port), "--seconds", "60"});
        return run_load(name, rule);
    }
};

// 5% loss, 20 ms each way, encrypted: every message whole and in order (reruns on new seeds).
TEST_F(LossyLinkTest, encrypted_stream_crosses_two_lossy_legs_whole_and_in_order)
{
    const std::string secret = "lossy-link-secret", query = "?latency=200&passphrase=" + secret;
    std::vector<json_int_t> figures, whole;
    for (const std::string seed : {"3", "4", "5"}) {
        int source = free_udp_port(), target = free_udp_port();
        int publish = free_udp_port(), watch = free_udp_port();
        restart_with(route_file("listen", srt_url("", source) + query, "listen",
                                srt_url("", target) + query));
        std::vector<std::string> rule = {"--loss", "5", "--delay", "20", "--seed", seed};
        impair("up" + seed, publish, source, rule);
        impair("down" + seed, watch, target, rule);
        // The peers ask for 20 ms: the link gets 200 ms only if the relay applies its latency.
        child_process_t &sub =
            run_load("sub" + seed, {"sub", "--url", srt_url("127.0.0.1", watch), "--passphrase",
                                    secret, "--duration", "7", "--latency", "20"});
        ASSERT_TRUE(wait_relay_output(relay, "New target", 10000));
        run_load("gen" + seed, {"gen", "--url", srt_url("127.0.0.1", publish), "--rate", "250000",
                                "--duration", "20", "--passphrase", secret, "--latency", "20"});
        ASSERT_TRUE(wait_process(sub, 20000));
        json_t *got = parse_json_body(read_text_file(sub.out_path));
        figures.assign(8, -1);
        json_unpack(got, "{s:{s:I,s:I,s:I,s:I,s:I,s:I},s:[{s:[{s:I,s:I}]}]}", "aggregate",
                    "connections", &figures[0], "received", &figures[1], "lost", &figures[2],
                    "duplicates", &figures[3], "reordered", &figures[4], "corrupted", &figures[5],
                    "subscribers", "connections", "first_seq", &figures[6], "last_seq",
                    &figures[7]);
        json_decref(got);
        // Both legs lost packets and the relay recovered them.
        EXPECT_GT(wait_metric("mirevo_route_source_packets_lost_total{route=\"100\"}", 1), 0);
        EXPECT_GT(
            wait_metric("mirevo_target_packets_retransmitted_total{route=\"100\",target=\"1000\"}",
                        1),
            0);
        // One connection; from message 0 on, each arrived once, in order and unchanged.
        whole = {1, figures[1], 0, 0, 0, 0, 0, figures[1] - 1};
        if (figures == whole)
            break;
    }
    EXPECT_GT(figures[1], 50) << "messages received";
    EXPECT_EQ(figures, whole);
}

// A rendezvous peer behind the middlebox; the socket or -1.
int meet_through(child_process_t &box, int peer_port)
{
    const std::string mark = "relayed from local port ";
    std::string err;
    if (!wait_until(
            [&] { return (err = read_text_file(box.err_path)).find(mark) != std::string::npos; },
            10000))
        return -1;
    int sock = srt_create_socket(), yes = 1, timeout_ms = 15000;
    srt_setsockflag(sock, SRTO_RENDEZVOUS, &yes, sizeof yes);
    srt_setsockflag(sock, SRTO_CONNTIMEO, &timeout_ms, sizeof timeout_ms);
    struct sockaddr_in local = {}, remote;
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)peer_port);
    inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    remote = local;
    remote.sin_port = htons((uint16_t)atoi(err.c_str() + err.find(mark) + mark.size()));
    if (srt_bind(sock, (struct sockaddr *)&local, sizeof local) == SRT_ERROR ||
        srt_connect(sock, (struct sockaddr *)&remote, sizeof remote) == SRT_ERROR) {
        srt_close(sock);
        return -1;
    }
    return sock;
}

// Handshakes in every mode survive 150 ms each way and 10% loss.
TEST_F(LossyLinkTest, handshakes_complete_across_a_slow_lossy_link_in_every_mode)
{
    for (const std::string mode : {"listen", "pull", "rendezvous"}) {
        SCOPED_TRACE(mode);
        int relay_port = free_udp_port(), box_port = free_udp_port(), peer_port = free_udp_port();
        // The middlebox stands in front of the side that waits for the other.
        bool relay_waits = mode == "listen";
        std::string url = relay_waits ? srt_url("", relay_port) : srt_url("127.0.0.1", box_port);
        if (mode == "rendezvous")
            url += "?port=" + std::to_string(relay_port);
        restart_with(route_file(mode, url, "listen", srt_url("", free_udp_port())));
        child_process_t &box = impair(mode, box_port, relay_waits ? relay_port : peer_port,
                                      {"--loss", "10", "--delay", "150"});
        int listener = mode == "pull" ? srt_open_listener(peer_port) : -1;
        int peer = mode == "listen" ? srt_open_caller(box_port, "", 15000)
                   : mode == "pull" ? srt_accept_one(listener, 15000)
                                    : meet_through(box, peer_port);
        EXPECT_EQ(srt_getsockstate(peer), SRTS_CONNECTED) << read_text_file(box.err_path);
        EXPECT_TRUE(wait_until(
            [&] { return metric("mirevo_route_source_connected{route=\"100\"}") == 1; }, 10000));
        srt_close(peer);
        srt_close(listener);
    }
}

#endif

} // namespace
