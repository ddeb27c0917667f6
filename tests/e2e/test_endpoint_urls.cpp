// Endpoint URLs through the real binary: API checks, stored files, options on the wire.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

const std::string secret = "url-test-passphrase";
// The subtype of a key material request in an extended control packet.
const uint32_t srt_command_kmreq = 3;

std::string error_body(std::string text)
{
    for (size_t at = text.find('"'); at != std::string::npos; at = text.find('"', at + 2))
        text.insert(at, "\\");
    return "{\"error\":\"" + text + "\"}";
}

// A UDP relay between a player and the relay's port, counting the relay's key material
// requests (UMSG_EXT of subtype KMREQ) and data packets under the odd key.
struct udp_tap_t {
    int front = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int back = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = 0; // where the player calls
    std::atomic<bool> running{true};
    std::atomic<int> key_requests{0}, odd_key_packets{0};
    std::thread thread;

    explicit udp_tap_t(int relay_port)
    {
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(front, (struct sockaddr *)&address, length) == 0 &&
            getsockname(front, (struct sockaddr *)&address, &length) == 0)
            port = ntohs(address.sin_port);
        address.sin_port = htons((uint16_t)relay_port);
        connect(back, (struct sockaddr *)&address, sizeof address);
        thread = std::thread([this] { forward(); });
    }
    ~udp_tap_t()
    {
        running = false;
        thread.join();
        close(front);
        close(back);
    }
    void forward()
    {
        uint32_t packet[512];
        struct pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
        bool joined = false;
        while (running) {
            if (poll(fds, 2, 100) <= 0)
                continue;
            struct sockaddr_storage player;
            socklen_t length = sizeof player;
            ssize_t got = recvfrom(front, packet, sizeof packet, MSG_DONTWAIT,
                                   (struct sockaddr *)&player, &length);
            if (got > 0 && !joined)
                joined = connect(front, (struct sockaddr *)&player, length) == 0;
            if (got > 0)
                send(back, packet, (size_t)got, 0);
            got = recv(back, packet, sizeof packet, MSG_DONTWAIT);
            if (got < 16 || !joined)
                continue;
            uint32_t first = ntohl(packet[0]), second = ntohl(packet[1]);
            if ((first & 0x80000000u) == 0)
                odd_key_packets += ((second >> 27) & 3) == 2;
            else
                key_requests += (first >> 16) == 0xffff && (first & 0xffff) == srt_command_kmreq;
            send(front, packet, (size_t)got, 0);
        }
    }
};

class endpoint_urls : public http_relay_fixture
{
  protected:
    // Each connection listed: its stream id as the API shows it, " encrypted" when it is.
    std::vector<std::string> listed()
    {
        std::vector<std::string> rows;
        json_t *list = parse_json_body(get_body("/api/connections"));
        size_t index;
        json_t *row;
        json_array_foreach(list, index, row)
        {
            const char *id = json_string_value(json_object_get(row, "stream_id"));
            rows.push_back(std::string(id != nullptr ? id : "(none)") +
                           (json_is_true(json_object_get(row, "encrypted")) ? " encrypted" : ""));
        }
        json_decref(list);
        return rows;
    }
    bool lists(const std::string &row)
    {
        return wait_until(
            [&] {
                std::vector<std::string> rows = listed();
                return std::find(rows.begin(), rows.end(), row) != rows.end();
            },
            5000);
    }
    // A caller that must be refused: its reject code, or 0 when it got in.
    int refusal(int port, const std::string &streamid, const std::string &passphrase = "")
    {
        int reason = 0;
        int sock = srt_open_caller(port, streamid, 3000, &reason, 0, passphrase);
        if (sock == -1)
            return reason;
        srt_close(sock);
        return 0;
    }
};

// A passphrase after an id holding '=' was once paired away, letting callers in without it.
TEST_F(endpoint_urls, passphrase_after_an_id_holding_equals_keeps_callers_without_it_out)
{
    int port = free_udp_port();
    create_routes(1);
    const std::string options = "&passphrase=" + secret + "&latency=200";
    http_response_t raw =
        call("PUT", "/api/routes/100/source", listen_query(port, "?streamid=k=v" + options));
    EXPECT_EQ(raw.status, 555);
    EXPECT_EQ(raw.body,
              error_body("Invalid URL: the value of streamid holds '=': write it as %3D"));
    ASSERT_EQ(
        call("PUT", "/api/routes/100/source", listen_query(port, "?streamid=k%3Dv" + options)).body,
        "Ok");
    EXPECT_EQ(refusal(port, "k=v"), SRT_REJ_UNSECURE);
    EXPECT_NE(keep(srt_open_caller(port, "k=v", 3000, nullptr, 0, secret)), -1);
    EXPECT_TRUE(lists("k=v encrypted"));
    std::string printed = relay_stdout(relay);

    restart_with(route_file("listen", srt_url("", port) + "?streamid=k=v" + options, "listen",
                            srt_url("", free_udp_port())));
    EXPECT_TRUE(wait_relay_output(
        relay, "Route 100 source loaded as stored: the value of streamid holds '='", 5000));
    EXPECT_EQ(refusal(port, "k"), SRT_REJ_UNSECURE);
    EXPECT_NE(keep(srt_open_caller(port, "k", 3000, nullptr, 0, secret)), -1);
    EXPECT_TRUE(lists("k encrypted"));
    for (const std::string &text : {printed, relay_stdout(relay), get_body("/api/logs")})
        EXPECT_EQ(text.find(secret), std::string::npos);
}

// Stream ids are admitted decoded and whole up to 512 bytes; non-UTF-8 ids are listed escaped.
TEST_F(endpoint_urls, stream_ids_are_admitted_decoded_and_whole_and_listed_as_presented)
{
    const std::string long_id(512, 'x'), accents = [] {
        std::string text;
        for (int i = 0; i < 256; i++)
            text += "\xc3\xa9";
        return text;
    }();
    const struct {
        std::string written, presented;
        bool admitted;
    } cases[] = {
        {"a%26b%3Dc%23d%25", "a&b=c#d%", true},
        {"a%26b%3Dc%23d%25", "a%26b%3Dc%23d%25", false},
        {"100%", "100%", true},
        {long_id, long_id, true},
        {long_id, long_id.substr(0, 511), false},
        {long_id, long_id.substr(0, 98), false},
        {accents, accents, true},
    };
    int port = free_udp_port();
    create_routes(1);
    ASSERT_EQ(call("PUT", "/api/routes/100/source", listen_query(free_udp_port())).body, "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    std::string configured;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.presented.substr(0, 20) + " " + std::to_string(c.presented.size()));
        if (c.written != configured) {
            ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                           listen_query(port, "?streamid=" + c.written))
                          .body,
                      "Ok");
            configured = c.written;
        }
        int reason = 0;
        int sock = keep(srt_open_caller(port, c.presented, 3000, &reason));
        EXPECT_EQ(sock != -1, c.admitted) << reason;
        if (c.admitted)
            EXPECT_TRUE(lists(c.presented));
        else
            EXPECT_EQ(reason, SRT_REJX_FORBIDDEN);
    }
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000", listen_query(port)).body, "Ok");
    EXPECT_NE(keep(srt_open_caller(port, "\xff\xfe" + accents.substr(2))), -1);
    EXPECT_TRUE(lists("\\xFF\\xFE" + accents.substr(2)));
}

// kmrefreshrate once never reached a socket; now the player sees its key change.
TEST_F(endpoint_urls, kmrefreshrate_makes_the_relay_change_its_players_key)
{
    int source_port = free_udp_port(), refreshed_port = free_udp_port();
    int plain_port = free_udp_port();
    const std::string key = "?passphrase=" + secret;
    create_routes(1);
    ASSERT_EQ(call("PUT", "/api/routes/100/source", listen_query(source_port, key)).body, "Ok");
    for (int target : {1000, 1001})
        ASSERT_EQ(call("POST", "/api/routes/100/targets").body,
                  "{\"target_id\":" + std::to_string(target) + "}");
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   listen_query(refreshed_port, key + "&kmrefreshrate=1000&kmpreannounce=200"))
                  .body,
              "Ok");
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1001", listen_query(plain_port, key)).body,
              "Ok");
    udp_tap_t refreshed(refreshed_port), plain(plain_port);
    ASSERT_NE(refreshed.port, 0);
    ASSERT_NE(plain.port, 0);
    // A handshake through the tap crosses one more hop: it may take longer on a busy machine.
    int first = keep(srt_open_caller(refreshed.port, "", 10000, nullptr, 0, secret));
    int second = keep(srt_open_caller(plain.port, "", 10000, nullptr, 0, secret));
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    ASSERT_TRUE(wait_until([&] { return listed().size() == 2; }, 5000));
    int publisher = keep(srt_open_caller(source_port, "", 3000, nullptr, 0, secret));
    ASSERT_NE(publisher, -1);
    peer_t sender(publisher, 1000), one(first), two(second);
    // Both players get the stream past the refresh.
    EXPECT_TRUE(wait_until(
        [&] {
            return refreshed.key_requests > 0 && refreshed.odd_key_packets > 0 &&
                   one.count > 1500 && two.count > 1500;
        },
        20000));
    sender.stop();
    one.stop();
    two.stop();
    EXPECT_EQ(plain.key_requests, 0);
    EXPECT_EQ(plain.odd_key_packets, 0);
    EXPECT_EQ(one.corrupt + two.corrupt, 0);
}

// Unparsable hosts or ports once listened elsewhere; long URLs were once cut at 255.
TEST_F(endpoint_urls, malformed_urls_are_refused_and_long_ones_kept_whole)
{
    int port = free_udp_port();
    const std::string p = std::to_string(port);
    auto put = [&](const std::string &url) {
        return "enabled=1&mode=listen&url=" + url_encode(url);
    };
    create_routes(1);
    expect_calls({
        {"PUT", "/api/routes/100/source", put("srt://[::1:" + p), 555,
         error_body("Invalid URL: host: '[' without ']'")},
        {"PUT", "/api/routes/100/source", put("srt://[::1]]:" + p), 555,
         error_body("Invalid URL: port \"]:" + p + "\" is not a number from 0 to 65535")},
        {"PUT", "/api/routes/100/source", put("srt://:abc"), 555,
         error_body("Invalid URL: port \"abc\" is not a number from 0 to 65535")},
        {"PUT", "/api/routes/100/source", put("srt://:" + p + "?mode=caller"), 555,
         error_body("Invalid URL: unknown option mode")},
        {"PUT", "/api/routes/100/source",
         put("srt://:" + p + "?latency=1" + std::string(2040, '&')), 555,
         error_body("url is longer than 2047 characters")},
    });
    int held = hold_port(port, SOCK_DGRAM);
    EXPECT_NE(held, -1) << "nothing listens on the port";
    close(held);
    EXPECT_EQ(get_body("/api/all_info"),
              "{\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
              "\"targets\":{}}}");

    const std::string id(512, 'L');
    const std::string url = srt_url("", port) + "?streamid=" + id + "&passphrase=" + secret +
                            "&latency=120&pbkeylen=16" + std::string(100, '&');
    ASSERT_EQ(call("PUT", "/api/routes/100/source", put(url)).body, "Ok");
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    EXPECT_NE(read_text_file(relay.config_path).find("\"url\":\"" + url + "\""), std::string::npos);
    stop_relay(relay);
    start();
    EXPECT_EQ(refusal(port, id), SRT_REJ_UNSECURE);
    EXPECT_NE(keep(srt_open_caller(port, id, 3000, nullptr, 0, secret)), -1);
    EXPECT_TRUE(lists(id + " encrypted"));
}

// Stored URLs load with a line naming what is off; unsafe ones stay off, long ones copied aside.
TEST_F(endpoint_urls, stored_urls_load_with_a_line_or_stay_off)
{
    int port = free_udp_port();
    const std::string overlong =
        srt_url("", free_udp_port()) + "?streamid=" + std::string(3000, 'o');
    restart_with("{\"100\":{\"source_id\":100,\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                 srt_url("", port) +
                 "?streamid=cam&foo=1\",\"targets\":{\"1000\":{\"enabled\":1,\"mode\":\"listen\","
                 "\"url\":\"srt://:abc\"},\"1001\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                 overlong + "\"}}}}");
    for (const std::string &line :
         {"Route 100 source loaded as stored: unknown option foo\n",
          "Route 100 target 1000 left off: Invalid URL: port \"abc\" is not a number from 0 to "
          "65535\n",
          "Route 100 target 1001 left off, its url dropped: Invalid URL: url is longer than 2047 "
          "characters; the stream id is longer than 512 bytes\n",
          "Configuration with a url too long to keep copied to "})
        EXPECT_TRUE(wait_relay_output(relay, line, 5000)) << line;
    EXPECT_NE(keep(srt_open_caller(port, "cam")), -1);
    EXPECT_EQ(call("OPTIONS", "/api/routes/100/targets/1000", "enabled=1").body,
              error_body("Invalid URL: port \"abc\" is not a number from 0 to 65535"));
    EXPECT_EQ(call("OPTIONS", "/api/routes/100/targets/1001", "enabled=1").body,
              error_body("Invalid URL: No scheme found."));
    EXPECT_NE(get_body("/api/all_info")
                  .find("{\"enabled\":0,\"mode\":\"listen\",\"url\":\"srt://:abc\"}"),
              std::string::npos);
    std::string out = relay_stdout(relay);
    size_t at = out.find(" too long to keep copied to ") + 28;
    std::string copy = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(read_text_file(copy).find(overlong), std::string::npos) << copy;
}

} // namespace
