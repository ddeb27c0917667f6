// Who may call a listening endpoint: allow lists, caps, and the authorization hook.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"
#include "routing/registry.h"

namespace
{

using caller_access = http_relay_fixture;

// The relay's whole path for allow= and maxcallers=: URL, port, refusal code and count.
TEST_F(caller_access, allow_and_maxcallers_refuse_with_their_codes_and_counts)
{
    int source_port = free_udp_port(), target_port = free_udp_port();
    const std::string source_url = srt_url("", source_port) + "?allow=10.0.0.0/8+2001:db8::/32";
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    for (const auto &[path, url] : {std::make_pair("/api/routes/100/source", source_url),
                                    std::make_pair("/api/routes/100/targets/1000",
                                                   srt_url("", target_port) + "?maxcallers=1")})
        ASSERT_EQ(call("PUT", path, "enabled=1&mode=listen&url=" + url_encode(url)).body, "Ok");
    EXPECT_NE(get_body("/api/all_info").find(source_url), std::string::npos);

    int reason = 0;
    EXPECT_EQ(caller(source_port, "", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_FORBIDDEN);
    int player = caller(target_port);
    ASSERT_NE(player, -1);
    EXPECT_EQ(caller(target_port, "", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_OVERLOAD);
    for (const char *counted :
         {"side=\"source\",reason=\"address\"", "side=\"target\",reason=\"full\""})
        EXPECT_EQ(wait_metric(std::string("mirevo_connections_rejected_total{route=\"100\",") +
                                  counted + "}",
                              1),
                  1)
            << counted;
    // A player that leaves frees its place.
    srt_close(player);
    EXPECT_TRUE(
        wait_until([&] { return keep(srt_open_caller(target_port, "", 1000)) != -1; }, 8000));
}

// A relay whose callers are checked by tests/support/authorizer.py (answers by stream id).
class authorization : public idle_relay_fixture
{
  protected:
    void SetUp() override
    {
        idle_relay_fixture::SetUp();
        authorizer_port = free_tcp_port();
        run("authorizer", {"/usr/bin/python3", MIREVO_SOURCE_DIR "/tests/support/authorizer.py",
                           std::to_string(authorizer_port), dir + "/checks.jsonl"});
        ASSERT_TRUE(wait_http_ready(authorizer_port, 10000));
    }
    // The relay checking with the authorizer (or with nothing at down_port), and route 100:
    // a listening source and target on their own ports.
    void start_checked(std::map<std::string, std::string> env = {}, int down_port = 0)
    {
        env["MIREVO_AUTH_URL"] =
            "http://127.0.0.1:" + std::to_string(down_port != 0 ? down_port : authorizer_port) +
            "/check";
        env["MIREVO_AUTH_HEADER"] = "Authorization: Bearer " + TOKEN;
        start(env);
        source_port = free_udp_port();
        target_port = free_udp_port();
        create_routes(1);
        ASSERT_EQ(call("PUT", "/api/routes/100/source", listen_query(source_port)).body, "Ok");
        ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
        ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000", listen_query(target_port)).body,
                  "Ok");
    }
    // The checks the authorizer received, as JSON lines.
    std::vector<std::string> checks()
    {
        std::vector<std::string> lines;
        std::string text = read_text_file(dir + "/checks.jsonl");
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }
    size_t checks_of(const std::string &stream_id)
    {
        return count_occurrences(read_text_file(dir + "/checks.jsonl"),
                                 "\"stream_id\": \"" + stream_id + "\"");
    }
    bool closed_by_relay(int sock)
    {
        return wait_until([&] { return socket_is_broken(srt_getsockstate(sock)); }, 10000);
    }
    std::unique_ptr<peer_t> publish(const std::string &stream_id)
    {
        int sock = caller(source_port, stream_id);
        EXPECT_NE(sock, -1);
        return std::make_unique<peer_t>(sock, 200);
    }

    const std::string TOKEN = "token-that-must-not-be-logged";
    int authorizer_port = 0, source_port = 0, target_port = 0;
};

// Allowed callers get the stream whole; a denied one is closed, then refused with 1401 from the
// cache; the authorizer hears once per key and each request says who asks for what.
TEST_F(authorization, allowed_callers_get_the_stream_and_denied_ones_are_closed_then_refused)
{
    start_checked();
    std::unique_ptr<peer_t> sender = publish("ok-cam");
    std::vector<std::unique_ptr<peer_t>> players;
    for (const std::string &id : {"ok-player", "ok-player", "#!::r=ok-keyed,u=joe,m=request"}) {
        int sock = caller(target_port, id);
        ASSERT_NE(sock, -1) << id;
        players.push_back(std::make_unique<peer_t>(sock));
    }
    int denied = caller(target_port, "no-player");
    ASSERT_NE(denied, -1) << "let in by libsrt, then held";
    EXPECT_EQ(wait_metric("mirevo_auth_requests_total{result=\"deny\"}", 1), 1);
    int reason = 0;
    EXPECT_EQ(caller(target_port, "no-player", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_UNAUTHORIZED);
    // It learns of the close by the relay's shutdown, or by its idle timeout when that is lost.
    EXPECT_TRUE(closed_by_relay(denied));
    EXPECT_EQ(receive_seq(denied, 100), -1);
    ASSERT_TRUE(wait_until([&] { return players.back()->count > 50; }, 8000));
    expect_whole_stream(*sender, players, 400);

    // Once per key: the second "ok-player" and the retried "no-player" asked nobody.
    std::vector<std::string> lines = checks();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string &id : {"ok-cam", "ok-player", "no-player"})
        EXPECT_EQ(checks_of(id), 1u) << id;
    for (const std::string &line : lines)
        EXPECT_NE(line.find("\"header\": \"Bearer " + TOKEN + "\""), std::string::npos) << line;
    std::string all = read_text_file(dir + "/checks.jsonl");
    for (const std::string &part :
         {std::string(
              "\"action\": \"publish\", \"route_id\": 100, \"target_id\": null, \"stream_id\": "
              "\"ok-cam\", \"peer\": \"127.0.0.1:"),
          "\"port\": " + std::to_string(source_port) + "}",
          std::string("\"action\": \"read\", \"route_id\": 100, \"target_id\": 1000"),
          std::string("\"keys\": {\"r\": \"ok-keyed\", \"u\": \"joe\", \"m\": \"request\"}")})
        EXPECT_NE(all.find(part), std::string::npos) << part << "\n" << all;

    EXPECT_GE(wait_metric("mirevo_auth_requests_total{result=\"allow\"}", 3), 3);
    EXPECT_EQ(metric("mirevo_auth_requests_total{result=\"deny\"}"), 1);
    EXPECT_EQ(metric("mirevo_auth_answer_seconds_count"), 4);
    EXPECT_GE(metric("mirevo_connections_rejected_total{route=\"100\",side=\"target\","
                     "reason=\"auth\"}"),
              1);
    EXPECT_TRUE(wait_relay_output(relay, "[AUTH] Closed caller 127.0.0.1:", 5000));
    EXPECT_EQ(relay_stdout(relay).find(TOKEN), std::string::npos);
}

// A slow authorizer holds 50 callers pending, with no bytes, while the stream already flowing on
// the same port stays whole; once allowed they all get it.
TEST_F(authorization, slow_answers_hold_callers_pending_while_the_flowing_stream_stays_whole)
{
    start_checked();
    std::unique_ptr<peer_t> sender = publish("ok-cam");
    std::vector<std::unique_ptr<peer_t>> players;
    players.push_back(std::make_unique<peer_t>(caller(target_port, "ok-player")));
    ASSERT_TRUE(wait_until([&] { return players[0]->count > 20; }, 8000));
    std::vector<int> waiting;
    for (int i = 0; i < 50; i++) {
        waiting.push_back(caller(target_port, "slow-" + std::to_string(i)));
        ASSERT_NE(waiting.back(), -1) << i;
    }
    // Each is held 1.5 s from its request (how many at once depends on how fast they came).
    EXPECT_TRUE(wait_until(
        [&] {
            return count_occurrences(get_body("/api/connections", "target_id=1000&route_id=100"),
                                     "\"state\":\"pending\"") > 0;
        },
        10000));
    EXPECT_EQ(receive_seq(waiting.back(), 300), -1) << "a held caller got bytes";
    ASSERT_TRUE(wait_until(
        [&] {
            return count_occurrences(get_body("/api/connections", "route_id=100"),
                                     "\"state\":\"connected\"") == 52;
        },
        15000));
    for (int sock : {waiting.front(), waiting.back()})
        EXPECT_GE(receive_seq(sock, 3000), 0);
    expect_whole_stream(*sender, players, 1000);
    EXPECT_EQ(checks().size(), 52u);
}

// The authorizer is asked again once a decision's period ends: 2 s here for an allow, 5 s for a
// deny, which answers 1401 meanwhile.
TEST_F(authorization, decisions_are_asked_again_once_their_period_ends)
{
    start_checked({{"MIREVO_AUTH_CACHE_S", "2"}});
    // Callers stay until the relay closes them: one gone at once is never asked about.
    auto knock = [&](const std::string &id) {
        int reason = 0;
        return caller(target_port, id, &reason) != -1 ? 0 : reason;
    };
    EXPECT_EQ(knock("ok-again"), 0);
    EXPECT_EQ(knock("no-again"), 0) << "let in by libsrt, then held";
    ASSERT_EQ(wait_metric("mirevo_auth_requests_total{result=\"deny\"}", 1), 1);
    ASSERT_EQ(wait_metric("mirevo_auth_requests_total{result=\"allow\"}", 1), 1);
    EXPECT_EQ(knock("ok-again"), 0);
    EXPECT_EQ(knock("no-again"), SRT_REJX_UNAUTHORIZED);
    sleep(3);
    EXPECT_EQ(knock("ok-again"), 0);
    EXPECT_EQ(knock("no-again"), SRT_REJX_UNAUTHORIZED);
    sleep(3);
    EXPECT_EQ(knock("no-again"), 0);
    EXPECT_TRUE(wait_until([&] { return checks_of("no-again") == 2; }, 5000));
    EXPECT_EQ(checks_of("ok-again"), 2u);
}

// An authorizer that cannot be reached, or answers 500, denies; with fail-open it admits.
TEST_F(authorization, unreachable_or_failing_authorizer_denies_unless_fail_open)
{
    const struct {
        bool down;
        bool fail_open;
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.down ? "down" : "500") + (c.fail_open ? " fail-open" : ""));
        int down_port = c.down ? free_tcp_port() : 0;
        if (relay.child.pid > 0)
            stop_relay(relay);
        start_checked({{"MIREVO_AUTH_FAIL_OPEN", c.fail_open ? "1" : "0"}}, down_port);
        int player = caller(target_port, "err-player");
        ASSERT_NE(player, -1);
        if (c.fail_open) {
            std::unique_ptr<peer_t> sender = publish("err-cam");
            EXPECT_GE(receive_seq(player, 5000), 0);
        } else {
            EXPECT_TRUE(closed_by_relay(player));
            // An error is no decision: the next try is checked again, not refused from a cache.
            int reason = 0;
            int again = caller(target_port, "err-player", &reason);
            EXPECT_NE(again, -1) << reason;
        }
        EXPECT_GE(wait_metric("mirevo_auth_requests_total{result=\"error\"}", 1), 1);
    }
}

} // namespace
