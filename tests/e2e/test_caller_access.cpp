// Who may call a listening endpoint: allow lists, caps, and the authorization hook.
#include <string>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

using caller_access = http_relay_fixture;

// The relay's whole path for allow= and maxcallers=: URL, port, refusal code, count, API check.
TEST_F(caller_access, allow_and_maxcallers_refuse_with_their_codes_and_counts)
{
    int source_port = free_udp_port(), target_port = free_udp_port();
    const std::string source_url = srt_url("", source_port) + "?allow=10.0.0.0/8+2001:db8::/32";
    const std::string target_url = srt_url("", target_port) + "?maxcallers=1";
    create_routes(1);
    ASSERT_EQ(
        call("PUT", "/api/routes/100/source", "enabled=1&mode=listen&url=" + url_encode(source_url))
            .body,
        "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=1&mode=listen&url=" + url_encode(target_url))
                  .body,
              "Ok");
    EXPECT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=1&mode=listen&url=" + url_encode(target_url + "&allow=10.0.0.1/40"))
                  .body,
              "{\"error\":\"Invalid URL: allow must be up to 64 address blocks (address or "
              "address/bits) joined by +\"}");
    std::string info = get_body("/api/all_info");
    EXPECT_NE(info.find(source_url), std::string::npos) << info;

    int reason = 0;
    EXPECT_EQ(caller(source_port, "", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_FORBIDDEN);
    int player = caller(target_port);
    ASSERT_NE(player, -1);
    EXPECT_TRUE(wait_until(
        [&] { return get_body("/api/connections").find("\"peer\"") != std::string::npos; }, 5000));
    EXPECT_EQ(caller(target_port, "", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_OVERLOAD);
    EXPECT_GE(wait_metric("mirevo_connections_rejected_total{route=\"100\",side=\"source\","
                          "reason=\"address\"}",
                          1),
              1);
    EXPECT_GE(wait_metric("mirevo_connections_rejected_total{route=\"100\",side=\"target\","
                          "reason=\"full\"}",
                          1),
              1);
    // A player that leaves frees its place.
    srt_close(player);
    EXPECT_TRUE(
        wait_until([&] { return keep(srt_open_caller(target_port, "", 1000)) != -1; }, 8000));
}

} // namespace
