// udp:// endpoints through the real binary: multicast bridges, joins, failover, refusals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

std::string endpoint(const std::string &mode, const std::string &url)
{
    return "enabled=1&mode=" + mode + "&url=" + url_encode(url);
}

// Multicast works on loopback only inside a network namespace of the test's own,
// with the groups routed to lo. Everything the test starts runs in it.
class udp_bridge : public idle_relay_fixture
{
  protected:
    void SetUp() override
    {
        idle_relay_fixture::SetUp();
        saved_namespace = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (saved_namespace == -1 || unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "no network namespace can be made here (needs root): "
                         << strerror(errno);
        ASSERT_EQ(system("ip link set lo up && ip route add 224.0.0.0/4 dev lo"), 0);
        start();
    }
    void TearDown() override
    {
        idle_relay_fixture::TearDown();
        for (int fd : senders)
            close(fd);
        if (saved_namespace != -1) {
            setns(saved_namespace, CLONE_NEWNET);
            close(saved_namespace);
        }
    }
    // Creates route 100 + n with its source and one target; each an endpoint query.
    void add_route(int n, const std::string &source, const std::string &target)
    {
        const std::string route = "/api/routes/" + std::to_string(100 + n);
        ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
        ASSERT_EQ(call("PUT", route + "/source", source).body, "Ok");
        ASSERT_EQ(call("POST", route + "/targets").status, 200);
        ASSERT_EQ(call("PUT", route + "/targets/" + std::to_string(1000 + n), target).body, "Ok");
    }
    // A plain UDP sender bound to local, sending to group:port.
    int udp_sender(const char *local, const char *group, int port)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, local, &address.sin_addr);
        bind(fd, (struct sockaddr *)&address, sizeof address);
        address.sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, group, &address.sin_addr);
        connect(fd, (struct sockaddr *)&address, sizeof address);
        senders.push_back(fd);
        return fd;
    }
    // The next message on an SRT subscriber, "" after timeout_ms.
    std::string next_message(int sock, int timeout_ms = 3000)
    {
        srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
        char message[1500];
        int length = srt_recvmsg(sock, message, sizeof message);
        return length > 0 ? std::string(message, (size_t)length) : "";
    }
    bool subscribed(int count)
    {
        const std::string gauge = "mirevo_target_connections{route=\"100\",target=\"1000\"}";
        return wait_until([&] { return metric(gauge) == count; }, 10000);
    }

    int saved_namespace = -1;
    std::vector<int> senders;
};

// Multicast in, SRT out, and back onto multicast from SRT: ffmpeg's recordings behind the
// relay hold every frame sent, with no more continuity errors than one joined directly.
TEST_F(udp_bridge, ffmpeg_picture_crosses_multicast_to_srt_and_back_whole)
{
    const int group_port = free_udp_port(), srt_port = free_udp_port(), out_port = free_udp_port();
    const std::string group_in = "udp://239.1.1.1:" + std::to_string(group_port);
    const std::string group_out = "udp://239.1.1.2:" + std::to_string(out_port);
    add_route(0, endpoint("listen", group_in + "?iface=127.0.0.1"),
              endpoint("listen", srt_url("", srt_port)));
    add_route(1, endpoint("pull", srt_url("127.0.0.1", srt_port)),
              endpoint("push", group_out + "?iface=127.0.0.1&ttl=1"));
    const struct {
        std::string name, input;
    } recordings[] = {
        {"direct", group_in + "?localaddr=127.0.0.1&timeout=3000000"},
        {"srt", srt_url("127.0.0.1", srt_port) + "?mode=caller&timeout=3000000"},
        {"multicast", group_out + "?localaddr=127.0.0.1&timeout=3000000"},
    };
    std::vector<child_process_t *> players;
    for (const auto &recording : recordings)
        players.push_back(&run(recording.name, {"ffmpeg", "-hide_banner", "-v", "debug", "-y", "-i",
                                                recording.input, "-c", "copy", "-f", "mpegts",
                                                dir + "/" + recording.name + ".ts"}));
    // Each multicast player has its socket open; the SRT one and route 101 called in.
    for (const char *name : {"direct", "multicast"})
        ASSERT_TRUE(wait_until(
            [&] {
                return read_text_file(dir + "/" + name + ".err").find("receive buffer") !=
                       std::string::npos;
            },
            10000))
            << name;
    ASSERT_TRUE(subscribed(2));
    ASSERT_TRUE(wait_process(
        run("publisher", {"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi",
                          "-i", "testsrc=size=320x240:rate=25", "-t", "4", "-c:v", "mpeg2video",
                          "-f", "mpegts", group_in + "?pkt_size=1316&localaddr=127.0.0.1"}),
        20000));
    auto errors = [&](const std::string &name) {
        return count_occurrences(read_text_file(dir + "/" + name + ".err"), "Continuity check");
    };
    for (size_t i = 0; i < players.size(); i++) {
        const std::string name = recordings[i].name, path = dir + "/" + name;
        ASSERT_TRUE(wait_process(*players[i], 20000)) << name;
        ASSERT_TRUE(wait_process(
            run(name + "-probe", {"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                  "stream=nb_read_frames", "-of", "csv=p=0", path + ".ts"}),
            20000));
        // 4 s at 25 frames a second, each decoded.
        EXPECT_EQ(read_text_file(path + "-probe.out").substr(0, 4), "100,") << name;
        EXPECT_EQ(errors(name), errors("direct")) << name;
    }
}

// A source-specific join forwards its one sender only; a datagram longer than a message is cut
// at packets, one that is not whole packets goes on as it is, and both are counted.
TEST_F(udp_bridge, source_specific_join_keeps_other_senders_out_and_long_datagrams_are_cut)
{
    const int group_port = free_udp_port(), srt_port = free_udp_port();
    add_route(0,
              endpoint("listen", "udp://239.1.1.3:" + std::to_string(group_port) +
                                     "?source=127.0.0.1&iface=127.0.0.1&rcvbuf=262144"),
              endpoint("listen", srt_url("", srt_port)));
    int subscriber = caller(srt_port);
    ASSERT_NE(subscriber, -1);
    ASSERT_TRUE(subscribed(1));
    int stranger = udp_sender("127.0.0.2", "239.1.1.3", group_port);
    int known = udp_sender("127.0.0.1", "239.1.1.3", group_port);
    ASSERT_EQ(send(stranger, std::string(1316, 'x').data(), 1316, 0), 1316);
    ASSERT_EQ(send(known, std::string(14 * 188, 'a').data(), 14 * 188, 0), 14 * 188);
    ASSERT_EQ(send(known, std::string(1000, 'b').data(), 1000, 0), 1000);
    // SRT keeps the order: the stranger's datagram would have come first.
    EXPECT_EQ(next_message(subscriber), std::string(1316, 'a'));
    EXPECT_EQ(next_message(subscriber), std::string(1316, 'a'));
    EXPECT_EQ(next_message(subscriber), std::string(1000, 'b'));
    EXPECT_EQ(wait_metric("mirevo_route_udp_datagrams_received_total{route=\"100\"}", 2), 2);
    EXPECT_EQ(metric("mirevo_route_udp_datagrams_unaligned_total{route=\"100\"}"), 1);
    EXPECT_EQ(metric("mirevo_route_received_bytes_total{route=\"100\"}"), 14 * 188 + 1000);
    std::string listed = get_body("/api/connections");
    EXPECT_NE(listed.find("\"peer\":\"239.1.1.3:" + std::to_string(group_port) + "\""),
              std::string::npos);
    EXPECT_NE(listed.find("\"transport\":\"udp\",\"datagrams\":2}"), std::string::npos) << listed;
}

// A multicast feed that stops falls over to an SRT standby, which keeps the route until it goes.
TEST_F(udp_bridge, silent_multicast_feed_falls_over_to_srt_standby_and_back_when_it_goes)
{
    const int group_port = free_udp_port(), standby_port = free_udp_port(),
              srt_port = free_udp_port();
    add_route(0,
              endpoint("listen",
                       "udp://239.1.1.4:" + std::to_string(group_port) +
                           "?iface=127.0.0.1&failover=1000&standby=" + std::to_string(standby_port)),
              endpoint("listen", srt_url("", srt_port)));
    int subscriber = caller(srt_port);
    ASSERT_TRUE(subscriber != -1 && subscribed(1));
    int feed = udp_sender("127.0.0.1", "239.1.1.4", group_port);
    // One datagram of the feed (when it runs) per message read: 'u' the feed's, 's' the standby's.
    auto next_source = [&](bool feeding) {
        const std::string datagram(1316, 'u');
        if (feeding)
            send(feed, datagram.data(), datagram.size(), 0);
        std::string message = next_message(subscriber, 3000);
        return message.empty() ? '-' : message == datagram ? 'u' : 's';
    };
    // Beside an ffmpeg encode under a sanitizer, the first may take over a second.
    EXPECT_TRUE(wait_until([&] { return next_source(true) == 'u'; }, 10000));
    int standby = caller(standby_port);
    ASSERT_NE(standby, -1);
    peer_t publisher(standby, 200);
    // The feed stops: past the feed's last datagrams, the route carries the standby.
    EXPECT_TRUE(wait_until([&] { return next_source(false) == 's'; }, 5000));
    EXPECT_EQ(wait_metric("mirevo_route_source_switches_total{route=\"100\"}", 1), 1);
    // The feed resumes: the standby keeps the route while it delivers, and until it goes.
    int carried = 0;
    while (carried < 100 && next_source(true) == 's')
        carried++;
    EXPECT_EQ(carried, 100);
    publisher.stop();
    srt_close(standby);
    EXPECT_TRUE(wait_until([&] { return next_source(true) == 'u'; }, 10000));
}

class udp_refusals : public http_relay_fixture
{
};

// Bad groups, modes and options are refused whole: nothing of the route changes.
TEST_F(udp_refusals, bad_udp_urls_are_refused_with_the_reason)
{
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    const std::string source = "/api/routes/100/source", target = "/api/routes/100/targets/1000";
    auto refused = [](const std::string &reason) {
        return "{\"error\":\"Invalid URL: " + reason + "\"}";
    };
    expect_calls({
        {"PUT", source, endpoint("pull", "udp://239.1.1.1:5000"), 555,
         refused("a udp:// source takes mode listen")},
        {"PUT", target, endpoint("listen", "udp://239.1.1.1:5000"), 555,
         refused("a udp:// target takes mode push")},
        {"PUT", target, endpoint("rendezvous", "udp://239.1.1.1:5000"), 555,
         refused("udp:// takes mode listen for a source, push for a target")},
        {"PUT", source, endpoint("listen", "udp://239.1.1.300:5000"), 555,
         refused("host \\\"239.1.1.300\\\" is not an IPv4 address or a bracketed IPv6 one")},
        {"PUT", source, endpoint("listen", "udp://239.1.1.1"), 555,
         refused("port \\\"\\\" is not a number from 1 to 65535")},
        {"PUT", source, endpoint("listen", "udp://10.0.0.1:5000?source=10.0.0.2"), 555,
         refused("source= needs a multicast group as host")},
        {"PUT", source, endpoint("listen", "udp://[ff3e::1]:5000?iface=127.0.0.1"), 555,
         refused("iface is not of the host's address family")},
        {"PUT", source, endpoint("listen", "udp://239.1.1.1:5000?ttl=2&rcvbuf=1"), 555,
         refused("unknown option ttl for a udp source; rcvbuf must be a whole number from 1024 "
                 "to 268435456")},
        {"PUT", target, endpoint("push", "udp://:5000?ttl=0&tos=256&iface=eth0"), 555,
         refused("a udp target needs the address to send to; ttl must be a whole number from 1 "
                 "to 255; tos must be a whole number from 0 to 255; iface \\\"eth0\\\" is not an "
                 "IPv4 or IPv6 address")},
    });
    EXPECT_EQ(get_body("/api/all_info"),
              "{\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
              "\"targets\":{\"1000\":{\"enabled\":0,\"mode\":\"listen\","
              "\"url\":\"\"}}}}");
}

} // namespace
