// Listening endpoints sharing a UDP port: real callers' stream ids against one listener.
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "srt/port_table.h"
#include "testkit.h"

namespace
{

// A listening endpoint on port with stream id and passphrase; the record is its owner's handle.
struct test_endpoint_t {
    int32_t target_id;
    int64_t registration = 0;
};

class port_table : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (test_endpoint_t &endpoint : endpoints_)
            stop_listening(endpoint.registration);
        for (int sock : callers_)
            srt_close(sock);
    }
    // Registers an endpoint (target_id -1: a source); returns listen_on_port's result.
    int64_t listen(int port, int32_t target_id, const std::string &streamid,
                   const std::string &passphrase = "", int latency = 0, int km_refresh = 0,
                   const std::string &policy = "")
    {
        endpoint_url_t url = {};
        if (!policy.empty())
            capture_stdout([&] { parse_endpoint_url(url, ("srt://:0?" + policy).c_str()); });
        url.mode = CONN_MODE_LISTEN;
        url.port = port;
        url.family = policy.find("family=6") != std::string::npos ? AF_INET6 : AF_INET;
        url.latency = latency;
        url.kmrefreshrate = km_refresh;
        snprintf(url.streamid, sizeof url.streamid, "%s", streamid.c_str());
        snprintf(url.passphrase, sizeof url.passphrase, "%s", passphrase.c_str());
        test_endpoint_t &endpoint = endpoints_.emplace_back();
        endpoint.target_id = target_id;
        int64_t result = 0;
        capture_stdout([&] { result = listen_on_port(url, {1, target_id, &endpoint}); });
        endpoint.registration = result > 0 ? result : 0;
        return result;
    }
    // Which endpoint a caller with streamid reached ("t<id>", "source"), or "reject <code>".
    std::string reach(int port, const std::string &streamid, const std::string &passphrase = "",
                      int family = AF_INET)
    {
        int reason = 0;
        int sock = srt_open_caller(port, streamid, 3000, &reason, 0, passphrase, family);
        if (sock == -1)
            return "reject " + std::to_string(reason);
        callers_.push_back(sock);
        std::string reached = "nobody";
        // What the event loop does: the shared epoll reports the listener, which accepts.
        wait_until(
            [&] {
                SRT_EPOLL_EVENT events[8];
                int count = srt_epoll_uwait(shared_epoll(), events, 8, 20);
                for (int i = 0; i < count; i++) {
                    std::vector<handed_caller_t> taken;
                    EXPECT_TRUE(accept_port_callers(events[i].fd, taken));
                    for (const handed_caller_t &caller : taken) {
                        callers_.push_back(caller.sock);
                        const test_endpoint_t &owner =
                            *static_cast<const test_endpoint_t *>(caller.handle);
                        EXPECT_EQ(caller.registration, owner.registration);
                        EXPECT_EQ(caller.target_id, owner.target_id);
                        reached = caller.target_id == -1 ? "source"
                                                         : "t" + std::to_string(caller.target_id);
                    }
                }
                return reached != "nobody";
            },
            3000);
        return reached;
    }
    std::deque<test_endpoint_t> endpoints_; // owners keep their addresses (appended only)
    std::vector<int> callers_;
};

// One port, several endpoints: the access-control form picks by "r" on the side "m" names.
TEST_F(port_table, stream_id_selects_the_endpoint_or_the_reject_code)
{
    int port = free_udp_port();
    ASSERT_GT(listen(port, -1, "cam1"), 0);
    ASSERT_GT(listen(port, 2, "play1"), 0);
    ASSERT_GT(listen(port, 3, ""), 0);
    const std::vector<std::pair<std::string, std::string>> with_default = {
        {"cam1", "source"},
        {"play1", "t2"},
        {"#!::r=cam1,m=publish", "source"},
        {"#!::bmd_uuid=1f2e,r=cam1,u=joe,s=token,m=publish", "source"},
        {"#!::u=joe,r=play1", "t2"},
        {"%23!::r=cam1,m=publish", "source"},
        {"#!::r=play1,m=request,t=stream", "t2"},
        {"#!::r=cam1", "reject 1405"},
        {"#!::r=play1,m=publish", "reject 1405"},
        {"#!::r=play1,m=bidirectional", "reject 1405"},
        {"#!::r=cam1,m=publish,t=file", "reject 1415"},
        {"", "t3"},
        {"unknown", "t3"},
        {"#!::r=unknown", "t3"},
        {"#!::r=unknown,m=publish", "reject 1404"},
    };
    for (const auto &[id, reached] : with_default)
        EXPECT_EQ(reach(port, id), reached) << id;

    EXPECT_EQ(listen(port, 4, "play1"), PORT_STREAM_ID_TAKEN);
    EXPECT_EQ(listen(port, 5, ""), PORT_STREAM_ID_TAKEN);
    endpoint_url_t cam1 = {};
    cam1.port = port;
    snprintf(cam1.streamid, sizeof cam1.streamid, "cam1");
    EXPECT_TRUE(port_serves_stream_id(cam1, {}));
    EXPECT_FALSE(port_serves_stream_id(cam1, {endpoints_[0].registration}));

    // Without the default endpoint a caller that names nothing is not found.
    stop_listening(endpoints_[2].registration);
    endpoints_[2].registration = 0;
    for (const std::string &id : {"", "unknown", "#!::r=unknown"})
        EXPECT_EQ(reach(port, id), "reject 1404") << id;
}

// Each endpoint's passphrase and latency apply to its own callers on the shared port.
TEST_F(port_table, each_endpoint_keeps_its_own_passphrase)
{
    int port = free_udp_port();
    ASSERT_GT(listen(port, 1, "a", "passphrase-of-a", 450), 0);
    ASSERT_GT(listen(port, 2, "b", "passphrase-of-b"), 0);
    EXPECT_EQ(reach(port, "a", "passphrase-of-a"), "t1");
    EXPECT_EQ(reach(port, "b", "passphrase-of-b"), "t2");
    for (const auto &[caller, latency] : {std::make_pair(0, 450), std::make_pair(2, 120)}) {
        int value = 0, size = sizeof value;
        srt_getsockflag(callers_[caller], SRTO_RCVLATENCY, &value, &size);
        EXPECT_EQ(value, latency) << caller;
    }
    EXPECT_EQ(reach(port, "a", "passphrase-of-b"), "reject " + std::to_string(SRT_REJ_BADSECRET));
    EXPECT_EQ(reach(port, "b"), "reject " + std::to_string(SRT_REJ_UNSECURE));
}

// 512-byte ids select whole (once cut to 98); each endpoint's key refresh reaches its caller.
TEST_F(port_table, stream_ids_select_whole_up_to_512_bytes_with_their_key_refresh)
{
    int port = free_udp_port();
    const std::string base(511, 'i');
    ASSERT_GT(listen(port, 1, base + "a", "", 0, 2000), 0);
    ASSERT_GT(listen(port, 2, base + "b", "", 0, 4000), 0);
    EXPECT_EQ(listen(port, 3, base + "b"), PORT_STREAM_ID_TAKEN);
    for (const auto &[id, reached, km_refresh] :
         std::vector<std::tuple<std::string, std::string, int>>{
             {base + "a", "t1", 2000}, {base + "b", "t2", 4000}, {base, "reject 1404", 0}}) {
        EXPECT_EQ(reach(port, id), reached) << id.size();
        if (km_refresh != 0) {
            int value = 0, size = sizeof value;
            srt_getsockflag(callers_.back(), SRTO_KMREFRESHRATE, &value, &size);
            EXPECT_EQ(value, km_refresh);
        }
    }
}

// allow= matches each family against its own blocks (a mapped IPv4 caller against IPv4 ones).
TEST_F(port_table, allow_lists_admit_by_family_and_block)
{
    const struct {
        std::string policy;
        int family;
        std::string reached;
    } cases[] = {
        {"allow=10.0.0.0/8+192.168.0.0/16", AF_INET, "reject 1403"},
        {"allow=10.0.0.0/8+127.0.0.0/8", AF_INET, "t1"},
        {"allow=127.0.0.2/31", AF_INET, "reject 1403"},
        {"allow=127.0.0.1/31", AF_INET, "t1"},
        {"allow=0.0.0.0/0", AF_INET, "t1"},
        {"allow=::1&family=6", AF_INET6, "t1"},
        {"allow=2001:db8::/32+127.0.0.1&family=6", AF_INET6, "reject 1403"},
        {"allow=::/1&family=6", AF_INET6, "t1"},
        {"allow=::1&family=6", AF_INET, "reject 1403"},
        {"allow=2001:db8::/32+127.0.0.1&family=6", AF_INET, "t1"},
        {"allow=10.0.0.0/33", AF_INET, "reject 1403"}, // malformed: nobody
    };
    for (const auto &c : cases) {
        int port = free_udp_port();
        ASSERT_GT(listen(port, 1, "", "", 0, 0, c.policy), 0) << c.policy;
        EXPECT_EQ(reach(port, "", "", c.family), c.reached) << c.policy << " " << c.family;
    }
}

} // namespace
