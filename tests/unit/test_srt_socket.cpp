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
