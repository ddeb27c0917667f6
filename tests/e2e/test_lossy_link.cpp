// The relay's real binary behind lossy, slow links made by the load tool's UDP middlebox.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

#ifdef MIREVO_LOAD_TOOL

std::string srt_url(const std::string &host, int port, const std::string &query = "")
{
    return "srt://" + host + ":" + std::to_string(port) + query;
}

// The integer at a path of object keys (array steps as "0"), -1 when absent.
json_int_t value_at(json_t *json, const std::vector<std::string> &path)
{
    for (const std::string &step : path)
        json = json_is_array(json) ? json_array_get(json, (size_t)atoi(step.c_str()))
                                   : json_object_get(json, step.c_str());
    return json_is_integer(json) ? json_integer_value(json) : -1;
}

class LossyLinkTest : public http_relay_fixture
{
  protected:
    LossyLinkTest()
    {
        start_at_set_up = false;
    }
    void TearDown() override
    {
        for (int sock : sockets_)
            srt_close(sock);
        for (child_process_t &child : children_)
            stop_process(child, SIGTERM, 5000);
        http_relay_fixture::TearDown();
    }
    // Runs the load tool with args; output to dir/name.out and .err.
    child_process_t &run_load(const std::string &name, std::vector<std::string> args)
    {
        args.insert(args.begin(), MIREVO_LOAD_TOOL);
        children_.push_back(
            spawn_process(args, {}, dir + "/" + name + ".out", dir + "/" + name + ".err"));
        return children_.back();
    }
    // A middlebox from listen_port on to to_port, listening when this returns.
    child_process_t &impair(const std::string &name, int listen_port, int to_port,
                            std::vector<std::string> rule)
    {
        rule.insert(rule.end(), {"--listen", std::to_string(listen_port), "--to",
                                 "127.0.0.1:" + std::to_string(to_port), "--seconds", "60"});
        rule.insert(rule.begin(), "impair");
        child_process_t &box = run_load(name, rule);
        EXPECT_TRUE(wait_until(
            [&] { return read_text_file(box.err_path).find("listening") != std::string::npos; },
            5000));
        return box;
    }
    // Stops a child of the load tool and parses its report; json_decref it.
    json_t *report_of(child_process_t &child)
    {
        stop_process(child, SIGTERM, 10000);
        json_t *report = parse_json_body(read_text_file(child.out_path));
        EXPECT_NE(report, nullptr) << read_text_file(child.err_path);
        return report;
    }
    int keep(int sock)
    {
        if (sock != -1)
            sockets_.push_back(sock);
        return sock;
    }

    std::deque<child_process_t> children_; // references stay valid as it grows
    std::vector<int> sockets_;
};

// Recovery across the relay: with 5% loss and 20 ms each way on both legs, encrypted, at a
// 200 ms latency, the subscriber gets every message, unchanged and in order. A relay that
// dropped its own latency or passphrase, or drained a buffer too late, loses messages here.
TEST_F(LossyLinkTest, encrypted_stream_crosses_two_lossy_legs_whole_and_in_order)
{
    int source = free_udp_port(), target = free_udp_port();
    int publish = free_udp_port(), watch = free_udp_port();
    const std::string secret = "lossy-link-secret";
    std::string query = "?latency=200&passphrase=" + secret;
    restart_with(
        route_file("listen", srt_url("", source, query), "listen", srt_url("", target, query)));
    std::vector<std::string> rule = {"--loss", "5", "--delay", "20"};
    child_process_t &up = impair("up", publish, source, rule);
    child_process_t &down = impair("down", watch, target, rule);
    std::string ready = dir + "/ready";
    // The peers keep the library's latency: the relay's sets the 200 ms.
    child_process_t &sub =
        run_load("sub", {"sub", "--url", srt_url("127.0.0.1", watch), "--passphrase", secret,
                         "--duration", "60", "--ready-file", ready});
    ASSERT_TRUE(wait_until([&] { return access(ready.c_str(), F_OK) == 0; }, 10000));
    ASSERT_TRUE(wait_relay_output(relay, "New target", 5000));
    child_process_t &gen = run_load("gen", {"gen", "--url", srt_url("127.0.0.1", publish), "--rate",
                                            "2000000", "--duration", "5", "--passphrase", secret});
    ASSERT_TRUE(wait_process(gen, 30000));
    sleep(1); // the last messages cross the second leg and its latency

    json_t *sent = report_of(gen), *got = report_of(sub);
    json_int_t count = value_at(sent, {"sent"});
    EXPECT_GT(count, 200) << read_text_file(gen.err_path);
    std::vector<std::string> connection = {"subscribers", "0", "connections", "0"};
    EXPECT_EQ(value_at(got, {"aggregate", "connections"}), 1);
    EXPECT_EQ(value_at(got, {"aggregate", "received"}), count);
    connection.push_back("first_seq");
    EXPECT_EQ(value_at(got, connection), 0);
    connection.back() = "last_seq";
    EXPECT_EQ(value_at(got, connection), count - 1);
    for (const char *fault : {"lost", "duplicates", "reordered", "corrupted"})
        EXPECT_EQ(value_at(got, {"aggregate", fault}), 0) << fault;
    json_decref(sent);
    json_decref(got);
    for (child_process_t *box : {&up, &down}) {
        json_t *report = report_of(*box);
        for (const char *direction : {"fwd", "back"})
            EXPECT_GT(value_at(report, {direction, "dropped"}), 0) << direction;
        json_decref(report);
    }
}

// A rendezvous peer behind the middlebox meets the relay: it calls the middlebox's
// upstream port for the relay's socket, which the middlebox names once the relay's first
// handshake packet came. Returns the connected socket or -1.
int meet_through(child_process_t &box, int peer_port)
{
    const std::string mark = "relayed from local port ";
    std::string err;
    if (!wait_until(
            [&] { return (err = read_text_file(box.err_path)).find(mark) != std::string::npos; },
            10000))
        return -1;
    int sock = srt_create_socket();
    int yes = 1, timeout_ms = 15000;
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

// Handshakes survive 150 ms each way and 10% loss: the relay's source in each mode meets a
// peer on the far side of the middlebox, and both ends see the connection.
TEST_F(LossyLinkTest, handshakes_complete_across_a_slow_lossy_link_in_every_mode)
{
    for (const std::string mode : {"listen", "pull", "rendezvous"}) {
        SCOPED_TRACE(mode);
        int relay_port = free_udp_port(), box_port = free_udp_port(), peer_port = free_udp_port();
        // The middlebox stands in front of whichever side waits for the other.
        bool relay_waits = mode == "listen";
        std::string url = relay_waits ? srt_url("", relay_port) : srt_url("127.0.0.1", box_port);
        if (mode == "rendezvous")
            url += "?port=" + std::to_string(relay_port);
        restart_with(route_file(mode, url, "listen", srt_url("", free_udp_port())));
        child_process_t &box = impair(mode, box_port, relay_waits ? relay_port : peer_port,
                                      {"--loss", "10", "--delay", "150", "--seed", "21"});
        int peer = -1;
        if (mode == "listen")
            peer = keep(srt_open_caller(box_port, "", 15000));
        else if (mode == "pull")
            peer = keep(srt_accept_one(keep(srt_open_listener(peer_port)), 15000));
        else
            peer = keep(meet_through(box, peer_port));
        ASSERT_NE(peer, -1) << read_text_file(box.err_path);
        EXPECT_EQ(srt_getsockstate(peer), SRTS_CONNECTED);
        EXPECT_TRUE(wait_until(
            [&] { return metric("mirevo_route_source_connected{route=\"100\"}") == 1; }, 10000));
        json_t *report = report_of(box);
        EXPECT_GT(value_at(report, {"fwd", "out"}), 0);
        EXPECT_GT(value_at(report, {"back", "out"}), 0);
        json_decref(report);
    }
}

#endif

} // namespace
