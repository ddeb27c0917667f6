// SRT socket factory on loopback: addresses, failures, options in force, no leaks.
#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "srt/socket.h"
#include "testkit.h"

static endpoint_url_t parsed_endpoint(conn_mode_t mode, const std::string &url)
{
    endpoint_url_t endpoint = {};
    endpoint.mode = mode;
    capture_stdout([&] { parse_endpoint_url(endpoint, url.c_str()); });
    return endpoint;
}

// "a.b.c.d:port" of sock's local address.
static std::string local_address(int sock)
{
    struct sockaddr_in addr;
    int len = sizeof addr;
    if (srt_getsockname(sock, (struct sockaddr *)&addr, &len) != 0)
        return "none";
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

template <typename T> static T read_flag(int sock, SRT_SOCKOPT option)
{
    T value = -12345;
    int len = sizeof value;
    srt_getsockflag(sock, option, &value, &len);
    return value;
}

class SrtSocketTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (int sock : sockets_)
            srt_close(sock);
    }
    // Makes a socket for the URL, kept in printed_ what that printed; closed at the end.
    int create(conn_mode_t mode, const std::string &url)
    {
        endpoint_url_t endpoint = parsed_endpoint(mode, url);
        int sock = -1;
        printed_ = capture_stdout([&] { sock = create_srt_socket(&endpoint); });
        sockets_.push_back(sock);
        return sock;
    }
    std::vector<int> sockets_;
    std::string printed_;
};

// Listeners bind the wildcard; callers return while connecting; bad ports and hosts fail named.
TEST_F(SrtSocketTest, each_mode_binds_or_fails_as_its_url_says)
{
    const std::string illegal = "illegal port number or port is busy.\n";
    const std::string invalid = "Invalid address/ Address not supported\n";
    const std::string port = std::to_string(free_udp_port());
    const struct {
        conn_mode_t mode;
        std::string url;
        SRT_SOCKSTATUS state; // SRTS_NONEXIST: creation fails
        std::string address;  // local address, "*" for any ephemeral port
        std::string printed;
    } cases[] = {
        {CONN_MODE_LISTEN, "srt://not-a-host.invalid:" + port, SRTS_LISTENING, "0.0.0.0:" + port,
         ""},
        {CONN_MODE_CALLER, "srt://127.0.0.1:9", SRTS_CONNECTING, "*",
         "=== caller: try to connect\n"},
        {CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:9", SRTS_CONNECTING, "*",
         "=== r_local_port:0, port:9\n=== rendezvous: try to connect\n"},
        {CONN_MODE_LISTEN, "srt://:70000", SRTS_NONEXIST, "", illegal},
        {CONN_MODE_LISTEN, "srt://10.0.0.5:-1", SRTS_NONEXIST, "", illegal},
        {CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:9000?port=70000", SRTS_NONEXIST, "",
         "=== r_local_port:70000, port:9000\n" + illegal},
        {CONN_MODE_CALLER, "srt://localhost:9000", SRTS_NONEXIST, "", invalid},
        {CONN_MODE_RENDEZVOUS, "srt://example.com:9000", SRTS_NONEXIST, "",
         "=== r_local_port:0, port:9000\n" + invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        int sock = create(c.mode, c.url);
        EXPECT_EQ(printed_, c.printed);
        EXPECT_EQ(srt_getsockstate(sock), c.state);
        if (c.address == "*")
            EXPECT_EQ(local_address(sock).find("0.0.0.0:"), 0u);
        else if (!c.address.empty())
            EXPECT_EQ(local_address(sock), c.address);
    }
}

// A key length applies only when positive; a refused one keeps the default; no passphrase printed.
TEST_F(SrtSocketTest, url_options_are_in_force_before_the_connection_attempt)
{
    const struct {
        const char *options;
        int latency, peer_latency;
        int64_t maxbw;
        int pbkeylen, km_refresh, km_preannounce;
    } cases[] = {{"streamid=cam1&latency=300&maxbw=1000000&passphrase=0123456789abc&pbkeylen=24"
                  "&kmrefreshrate=1000&kmpreannounce=100",
                  300, 300, 1000000, 24, 1000, 100},
                 {"pbkeylen=-16", 120, 0, -1, 0, 0, 0}, // the library's defaults
                 {"pbkeylen=20", 120, 0, -1, 0, 0, 0}};
    for (conn_mode_t mode : {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(mode) + " " + c.options);
            int sock = create(mode, "srt://127.0.0.1:" + std::to_string(free_udp_port()) + "?" +
                                        c.options);
            ASSERT_NE(sock, -1) << printed_;
            char streamid[600];
            int len = sizeof streamid;
            srt_getsockflag(sock, SRTO_STREAMID, streamid, &len);
            EXPECT_EQ(std::string(streamid, len), c.pbkeylen == 24 ? "cam1" : "");
            EXPECT_EQ(read_flag<int>(sock, SRTO_LATENCY), c.latency);
            EXPECT_EQ(read_flag<int>(sock, SRTO_PEERLATENCY), c.peer_latency);
            EXPECT_EQ(read_flag<int64_t>(sock, SRTO_MAXBW), c.maxbw);
            EXPECT_EQ(read_flag<int>(sock, SRTO_PBKEYLEN), c.pbkeylen);
            EXPECT_EQ(read_flag<int>(sock, SRTO_KMREFRESHRATE), c.km_refresh);
            EXPECT_EQ(read_flag<int>(sock, SRTO_KMPREANNOUNCE), c.km_preannounce);
            EXPECT_EQ(printed_.find("passphrase:0123"), std::string::npos);
            if (mode != CONN_MODE_LISTEN && c.pbkeylen == 24)
                EXPECT_LT(printed_.find("pbkeylen:24"), printed_.find("try to connect"));
        }
    }
}

static int count_fds(void)
{
    return (int)std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// A thousand half-way failures leave no socket and no descriptor.
TEST_F(SrtSocketTest, repeated_failures_leak_no_socket_or_descriptor)
{
    int busy = srt_open_listener(free_udp_port());
    ASSERT_NE(busy, -1);
    sockets_.push_back(busy);
    std::string busy_port = local_address(busy).substr(10);
    EXPECT_EQ(create(CONN_MODE_LISTEN, "srt://:" + busy_port), -1);
    EXPECT_NE(printed_.find("srt_bind: "), std::string::npos) << printed_;
    // A held port is named with the system's reason.
    int held_port = free_udp_port();
    int holder = hold_port(held_port, SOCK_DGRAM);
    ASSERT_NE(holder, -1);
    printed_.clear();
    EXPECT_EQ(create(CONN_MODE_LISTEN, "srt://:" + std::to_string(held_port)), -1);
    close(holder);
    EXPECT_NE(printed_.find("srt_bind: Address already in use"), std::string::npos) << printed_;
    const endpoint_url_t failing[] = {
        parsed_endpoint(CONN_MODE_LISTEN, "srt://:" + busy_port),
        parsed_endpoint(CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:9?port=" + busy_port),
        parsed_endpoint(CONN_MODE_CALLER, "srt://localhost:9000"),
        parsed_endpoint(CONN_MODE_LISTEN, "srt://:70000")};
    int first_probe = srt_create_socket();
    srt_close(first_probe);
    int fds_before = count_fds(), successes = 0;
    capture_stdout([&] {
        for (int i = 0; i < 1000; i++)
            successes += create_srt_socket(&failing[i % 4]) != -1;
    });
    EXPECT_EQ(successes, 0);
    int last_probe = srt_create_socket();
    srt_close(last_probe);
    // Closed sockets hand their UDP ports back in the library's background.
    EXPECT_TRUE(wait_until([&] { return count_fds() <= fds_before; }, 10000));
    int alive = 0;
    for (int id = std::min(first_probe, last_probe) + 1; id < std::max(first_probe, last_probe);
         id++)
        alive += srt_getsockstate(id) != SRTS_NONEXIST && srt_getsockstate(id) != SRTS_CLOSED;
    EXPECT_EQ(alive, 0);
}
