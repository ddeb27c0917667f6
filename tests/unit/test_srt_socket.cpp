// SRT socket factory on loopback: addresses, failures, options in force, no leaks.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/log.h"
#include "srt/socket.h"
#include "testkit.h"

namespace
{

// Runs fn with fd 1 sent to an unnamed temporary file; returns what was printed.
template <typename F> std::string capture_stdout(F fn)
{
    FILE *sink = tmpfile();
    EXPECT_NE(sink, nullptr);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string printed;
    char buf[4096];
    rewind(sink);
    for (size_t n = fread(buf, 1, sizeof buf, sink); n > 0; n = fread(buf, 1, sizeof buf, sink))
        printed.append(buf, n);
    fclose(sink);
    return printed;
}

endpoint_url_t parsed_endpoint(conn_mode_t mode, const std::string &url)
{
    endpoint_url_t endpoint = {};
    endpoint.mode = mode;
    endpoint.enabled = 1;
    capture_stdout([&] { parse_endpoint_url(endpoint, url.c_str()); });
    return endpoint;
}

struct created_t {
    int sock;
    std::string printed;
};

// Every socket a test makes is closed when the fixture ends, even after a failed ASSERT.
class SrtSocketTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (int sock : sockets_)
            srt_close(sock);
        if (udp_fd_ >= 0)
            close(udp_fd_);
    }
    created_t create(const endpoint_url_t &endpoint)
    {
        created_t created;
        created.printed = capture_stdout([&] { created.sock = create_srt_socket(&endpoint); });
        keep(created.sock);
        return created;
    }
    int keep(int sock)
    {
        if (sock != SRT_INVALID_SOCK)
            sockets_.push_back(sock);
        return sock;
    }
    // Holds port on 0.0.0.0 with a plain UDP socket (no address reuse).
    void hold_udp_port(int port)
    {
        udp_fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons((uint16_t)port);
        ASSERT_EQ(bind(udp_fd_, (struct sockaddr *)&addr, sizeof addr), 0);
    }

    std::vector<int> sockets_;
    int udp_fd_ = -1;
};

// Local address of sock as "a.b.c.d:port".
std::string local_address(int sock)
{
    struct sockaddr_in addr;
    int len = sizeof addr;
    if (srt_getsockname(sock, (struct sockaddr *)&addr, &len) != 0)
        return "none";
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

int local_port(int sock)
{
    struct sockaddr_in addr;
    int len = sizeof addr;
    if (srt_getsockname(sock, (struct sockaddr *)&addr, &len) != 0)
        return -1;
    return ntohs(addr.sin_port);
}

std::string read_streamid(int sock)
{
    char buf[600];
    int len = sizeof buf;
    if (srt_getsockflag(sock, SRTO_STREAMID, buf, &len) != 0)
        return "<error>";
    return std::string(buf, len);
}

int read_int_flag(int sock, SRT_SOCKOPT option)
{
    int value = -12345;
    int len = sizeof value;
    srt_getsockflag(sock, option, &value, &len);
    return value;
}

int64_t read_maxbw(int sock)
{
    int64_t value = -12345;
    int len = sizeof value;
    srt_getsockflag(sock, SRTO_MAXBW, &value, &len);
    return value;
}

// A blocking caller to 127.0.0.1:port with an optional passphrase; -1 when refused.
int connect_with_passphrase(int port, const std::string &passphrase)
{
    int sock = srt_create_socket();
    int timeout_ms = 3000;
    srt_setsockflag(sock, SRTO_CONNTIMEO, &timeout_ms, sizeof timeout_ms);
    if (!passphrase.empty())
        srt_setsockflag(sock, SRTO_PASSPHRASE, passphrase.c_str(), (int)passphrase.size());
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (srt_connect(sock, (struct sockaddr *)&addr, sizeof addr) == SRT_ERROR) {
        srt_close(sock);
        return -1;
    }
    return sock;
}

TEST_F(SrtSocketTest, listener_binds_wildcard_on_url_port_whatever_the_host)
{
    const char *hosts[] = {"10.0.0.5", "127.0.0.1", "", "not-a-host.invalid"};
    for (const char *host : hosts) {
        SCOPED_TRACE(host);
        int port = free_udp_port();
        created_t created = create(parsed_endpoint(
            CONN_MODE_LISTEN, "srt://" + std::string(host) + ":" + std::to_string(port)));
        ASSERT_NE(created.sock, -1) << created.printed;
        EXPECT_EQ(created.printed, "");
        EXPECT_EQ(srt_getsockstate(created.sock), SRTS_LISTENING);
        EXPECT_EQ(local_address(created.sock), "0.0.0.0:" + std::to_string(port));

        int caller = keep(srt_open_caller(port));
        EXPECT_NE(caller, -1) << "no connection to 127.0.0.1:" << port;
    }
}

TEST_F(SrtSocketTest, out_of_range_port_fails_at_resolution)
{
    struct case_t {
        conn_mode_t mode;
        const char *url;
        const char *printed;
    };
    const case_t cases[] = {
        {CONN_MODE_LISTEN, "srt://:70000", "illegal port number or port is busy.\n\n"},
        {CONN_MODE_LISTEN, "srt://10.0.0.5:-1", "illegal port number or port is busy.\n\n"},
        {CONN_MODE_LISTEN, "srt://:65536", "illegal port number or port is busy.\n\n"},
        {CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:9000?port=70000",
         "=== r_local_port:70000, port:9000\nillegal port number or port is busy.\n\n"},
        {CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:9000?port=-1",
         "=== r_local_port:-1, port:9000\nillegal port number or port is busy.\n\n"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.url);
        created_t created = create(parsed_endpoint(c.mode, c.url));
        EXPECT_EQ(created.sock, -1) << "bound to " << local_address(created.sock);
        EXPECT_EQ(created.printed, c.printed);
    }
}

TEST_F(SrtSocketTest, busy_port_fails_at_bind)
{
    int port = free_udp_port();
    hold_udp_port(port);
    const conn_mode_t modes[] = {CONN_MODE_LISTEN, CONN_MODE_RENDEZVOUS};
    for (conn_mode_t mode : modes) {
        SCOPED_TRACE((int)mode);
        std::string url = mode == CONN_MODE_LISTEN
                              ? "srt://:" + std::to_string(port)
                              : "srt://127.0.0.1:9?port=" + std::to_string(port);
        created_t created = create(parsed_endpoint(mode, url));
        EXPECT_EQ(created.sock, -1);
        size_t at = created.printed.find("srt_bind: ");
        ASSERT_NE(at, std::string::npos) << created.printed;
        EXPECT_GT(created.printed.size(), at + strlen("srt_bind: \n")) << "no error text";
        EXPECT_EQ(created.printed.back(), '\n');
        EXPECT_EQ(created.printed.find("try to connect"), std::string::npos);
    }
}

TEST_F(SrtSocketTest, peer_host_must_be_dotted_ipv4)
{
    const char *hosts[] = {"localhost", "example.com", "10.0.0", "::1", "10.0.0.256", "h"};
    for (const char *host : hosts) {
        SCOPED_TRACE(host);
        // Set directly: a host with ':' cannot be written into a URL's authority.
        endpoint_url_t endpoint = parsed_endpoint(CONN_MODE_CALLER, "srt://h:9000");
        snprintf(endpoint.host, sizeof endpoint.host, "%s", host);
        created_t caller = create(endpoint);
        EXPECT_EQ(caller.sock, -1);
        EXPECT_EQ(caller.printed, "Invalid address/ Address not supported\n");

        endpoint.mode = CONN_MODE_RENDEZVOUS;
        created_t rendezvous = create(endpoint);
        EXPECT_EQ(rendezvous.sock, -1);
        EXPECT_EQ(rendezvous.printed,
                  "=== r_local_port:0, port:9000\nInvalid address/ Address not supported\n");
    }
}

TEST_F(SrtSocketTest, caller_returns_while_peer_has_not_answered)
{
    int silent_port = free_udp_port();
    created_t created =
        create(parsed_endpoint(CONN_MODE_CALLER, "srt://127.0.0.1:" + std::to_string(silent_port)));
    ASSERT_NE(created.sock, -1) << created.printed;
    EXPECT_EQ(created.printed, "=== caller: try to connect\n");
    EXPECT_EQ(srt_getsockstate(created.sock), SRTS_CONNECTING);
}

TEST_F(SrtSocketTest, caller_reaches_listening_peer_on_url_port)
{
    int port = free_udp_port();
    int listener = keep(srt_open_listener(port));
    ASSERT_NE(listener, -1);
    created_t created =
        create(parsed_endpoint(CONN_MODE_CALLER, "srt://127.0.0.1:" + std::to_string(port)));
    ASSERT_NE(created.sock, -1) << created.printed;
    EXPECT_TRUE(wait_until([&] { return srt_getsockstate(created.sock) == SRTS_CONNECTED; }, 5000))
        << "state " << srt_getsockstate(created.sock);
}

TEST_F(SrtSocketTest, rendezvous_binds_local_port_and_meets_its_peer)
{
    int port_b = free_udp_port();
    created_t a =
        create(parsed_endpoint(CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:" + std::to_string(port_b)));
    ASSERT_NE(a.sock, -1) << a.printed;
    int port_a = local_port(a.sock);
    EXPECT_GT(port_a, 0) << "no ephemeral port bound";
    EXPECT_EQ(local_address(a.sock), "0.0.0.0:" + std::to_string(port_a));
    EXPECT_EQ(a.printed, "=== r_local_port:0, port:" + std::to_string(port_b) +
                             "\n=== rendezvous: try to connect\n");

    created_t b =
        create(parsed_endpoint(CONN_MODE_RENDEZVOUS, "srt://127.0.0.1:" + std::to_string(port_a) +
                                                         "?port=" + std::to_string(port_b)));
    ASSERT_NE(b.sock, -1) << b.printed;
    EXPECT_EQ(local_address(b.sock), "0.0.0.0:" + std::to_string(port_b));
    EXPECT_EQ(b.printed, "=== r_local_port:" + std::to_string(port_b) + ", port:" +
                             std::to_string(port_a) + "\n=== rendezvous: try to connect\n");

    EXPECT_TRUE(wait_until(
        [&] {
            return srt_getsockstate(a.sock) == SRTS_CONNECTED &&
                   srt_getsockstate(b.sock) == SRTS_CONNECTED;
        },
        5000));
}

// Builds the URL for mode with options appended; rendezvous peers a silent port.
std::string url_for(conn_mode_t mode, const std::string &options)
{
    int port = free_udp_port();
    std::string url = mode == CONN_MODE_LISTEN ? "srt://:" + std::to_string(port)
                                               : "srt://127.0.0.1:" + std::to_string(port);
    return options.empty() ? url : url + "?" + options;
}

TEST_F(SrtSocketTest, url_options_are_in_force_on_the_socket)
{
    const conn_mode_t modes[] = {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS};
    for (conn_mode_t mode : modes) {
        SCOPED_TRACE((int)mode);
        created_t created = create(parsed_endpoint(
            mode, url_for(mode, "streamid=cam1&latency=300&maxbw=1000000&passphrase="
                                "0123456789abc&pbkeylen=24")));
        ASSERT_NE(created.sock, -1) << created.printed;
        EXPECT_EQ(read_streamid(created.sock), "cam1");
        EXPECT_EQ(read_int_flag(created.sock, SRTO_LATENCY), 300);
        EXPECT_EQ(read_int_flag(created.sock, SRTO_PEERLATENCY), 300);
        EXPECT_EQ(read_maxbw(created.sock), 1000000);
        EXPECT_EQ(read_int_flag(created.sock, SRTO_PBKEYLEN), 24);

        // One log line per option, in this order, before the connection attempt.
        std::string expected_lines = "=== SrtTestListenCallback streamid:cam1\n"
                                     "=== SrtTestListenCallback latency:300\n"
                                     "=== SrtTestListenCallback max_bw:1000000\n"
                                     "=== SrtTestListenCallback passphrase:0123456789abc\n"
                                     "=== SrtTestListenCallback pbkeylen:24\n";
        std::string lines;
        for (size_t at = created.printed.find("=== SrtTestListenCallback"); at != std::string::npos;
             at = created.printed.find("=== SrtTestListenCallback", at)) {
            size_t end = created.printed.find('\n', at);
            lines += created.printed.substr(at, end + 1 - at);
            at = end;
        }
        EXPECT_EQ(lines, expected_lines);
        if (mode != CONN_MODE_LISTEN)
            EXPECT_LT(created.printed.find("pbkeylen:24"), created.printed.find("try to connect"));
    }
}

// Threads of this process, from /proc/self/task.
int count_threads(void)
{
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    int count = 0;
    for (struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir))
        if (item->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

TEST_F(SrtSocketTest, listener_passphrase_admits_only_callers_that_know_it)
{
    int threads_before = count_threads();
    int port = free_udp_port();
    created_t created = create(parsed_endpoint(CONN_MODE_LISTEN, "srt://:" + std::to_string(port) +
                                                                     "?passphrase=0123456789abc"));
    ASSERT_NE(created.sock, -1) << created.printed;

    int with_key = keep(connect_with_passphrase(port, "0123456789abc"));
    EXPECT_NE(with_key, -1);
    if (with_key != -1)
        EXPECT_EQ(read_int_flag(with_key, SRTO_KMSTATE), SRT_KM_S_SECURED);
    EXPECT_EQ(keep(connect_with_passphrase(port, "")), -1);
    EXPECT_EQ(keep(connect_with_passphrase(port, "another-passphrase")), -1);

    // OpenSSL keeps per-thread state in the library's receive threads and frees it when
    // they end (about 5 s after the close); wait for them, so that the leak check at exit
    // does not report it.
    for (int sock : sockets_)
        srt_close(sock);
    sockets_.clear();
    EXPECT_TRUE(wait_until([&] { return count_threads() <= threads_before; }, 15000));
}

TEST_F(SrtSocketTest, no_options_given_leaves_library_defaults)
{
    const conn_mode_t modes[] = {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS};
    for (conn_mode_t mode : modes) {
        SCOPED_TRACE((int)mode);
        created_t created = create(parsed_endpoint(mode, url_for(mode, "")));
        ASSERT_NE(created.sock, -1) << created.printed;
        EXPECT_EQ(created.printed.find("SrtTestListenCallback"), std::string::npos);
        EXPECT_EQ(read_streamid(created.sock), "");
        EXPECT_EQ(read_int_flag(created.sock, SRTO_LATENCY), 120);
        EXPECT_EQ(read_maxbw(created.sock), -1);
        EXPECT_EQ(read_int_flag(created.sock, SRTO_PBKEYLEN), 0);
    }
}

TEST_F(SrtSocketTest, key_length_is_applied_only_when_positive)
{
    struct case_t {
        const char *options;
        bool logged;
        int in_force;
    };
    const case_t cases[] = {
        {"pbkeylen=0", false, 0},
        {"pbkeylen=-16", false, 0},
        {"pbkeylen=16", true, 16},
        {"pbkeylen=32", true, 32},
        // Refused by the library: the default stays and creation goes on.
        {"pbkeylen=20", true, 0},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.options);
        created_t created =
            create(parsed_endpoint(CONN_MODE_LISTEN, url_for(CONN_MODE_LISTEN, c.options)));
        ASSERT_NE(created.sock, -1) << created.printed;
        EXPECT_EQ(created.printed.find("pbkeylen:") != std::string::npos, c.logged)
            << created.printed;
        EXPECT_EQ(read_int_flag(created.sock, SRTO_PBKEYLEN), c.in_force);
    }
}

TEST_F(SrtSocketTest, unknown_mode_fails_silently)
{
    endpoint_url_t endpoint = parsed_endpoint(CONN_MODE_LISTEN, url_for(CONN_MODE_LISTEN, ""));
    endpoint.mode = 3;
    created_t created = create(endpoint);
    EXPECT_EQ(created.sock, -1);
    EXPECT_EQ(created.printed, "");
}

int count_open_fds(void)
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        count++;
    closedir(dir);
    return count;
}

// Ids the library handed out strictly between two probe sockets must all be gone.
int live_sockets_between(int first, int last)
{
    int alive = 0;
    int low = first < last ? first : last;
    int high = first < last ? last : first;
    for (int id = low + 1; id < high; id++) {
        SRT_SOCKSTATUS state = srt_getsockstate(id);
        if (state != SRTS_NONEXIST && state != SRTS_CLOSED)
            alive++;
    }
    return alive;
}

TEST_F(SrtSocketTest, repeated_failures_leak_no_socket_or_descriptor)
{
    int busy_port = free_udp_port();
    hold_udp_port(busy_port);
    const endpoint_url_t failing[] = {
        parsed_endpoint(CONN_MODE_LISTEN, "srt://:" + std::to_string(busy_port)),
        parsed_endpoint(CONN_MODE_CALLER, "srt://localhost:9000"),
        parsed_endpoint(CONN_MODE_RENDEZVOUS, "srt://localhost:9000"),
        parsed_endpoint(CONN_MODE_LISTEN, "srt://:70000"),
    };

    int first_probe = srt_create_socket();
    srt_close(first_probe);
    int fds_before = count_open_fds();
    int successes = 0;
    capture_stdout([&] {
        for (int i = 0; i < 1000; i++)
            if (create_srt_socket(&failing[i % 4]) != -1)
                successes++;
    });
    EXPECT_EQ(successes, 0);
    int last_probe = srt_create_socket();
    srt_close(last_probe);

    // Closed sockets hand their UDP ports back in the library's background; let it settle.
    EXPECT_TRUE(wait_until([&] { return count_open_fds() <= fds_before; }, 10000))
        << fds_before << " descriptors before, " << count_open_fds() << " after";
    EXPECT_EQ(live_sockets_between(first_probe, last_probe), 0);
}

} // namespace
