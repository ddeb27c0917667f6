// Endpoint URL parser and passphrase masking: what each URL gives, what the masker hides.
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "srt/endpoint.h"
#include "testkit.h"

// What the parser takes from each URL. The URL fuzz target pins the rest: every field is
// set anew by each parse, a URL without "://" leaves the record alone.
TEST(EndpointUrl, authority_and_query_give_the_options)
{
    const std::string host40 = "abcdefghij0123456789ABCDEFGHIJklmnopqrst", cut(98, 'v');
    const struct {
        conn_mode_t mode;
        std::string url, expected;
    } cases[] = {
        {CONN_MODE_LISTEN, "srt://:9000", "0.0.0.0|9000|0||0|0||0"},
        // No port, or one that is not a number: read as atoi reads it.
        {CONN_MODE_CALLER, "srt://10.0.0.5?latency=200", "10.0.0.5|80|0||200|0||0"},
        {CONN_MODE_CALLER, "srt://10.0.0.5:abc", "10.0.0.5|0|0||0|0||0"},
        {CONN_MODE_CALLER, "srt://10.0.0.5:70000", "10.0.0.5|70000|0||0|0||0"},
        {CONN_MODE_CALLER, "srt://h:1:2", "h|1|0||0|0||0"},
        {CONN_MODE_CALLER, "srt://h?streamid=a:b", "h|80|0|a:b|0|0||0"},
        {CONN_MODE_CALLER, "udp://?latency=5", "|80|0||5|0||0"},
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=cam1&latency=300&maxbw=1000000&passphrase=0123456789&pbkeylen=16",
         "h|1|0|cam1|300|1000000|0123456789|16"},
        // The first value of a repeated key counts; keys are exact, values not decoded.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=a%20b&streamid=b&latency=10&latency=20&Maxbw=5",
         "h|1|0|a%20b|10|0||0"},
        // "=" and "&" separate alike, so the tokens pair up across them.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=live=cam1&latency=300", "h|1|0|live|0|0||0"},
        {CONN_MODE_LISTEN, "srt://h:1?&&latency==7&&&maxbw=8&pbkeylen&16&x", "h|1|0||7|8||16"},
        // Numbers are read as atoi/atoll read them.
        {CONN_MODE_LISTEN, "srt://h:1?maxbw=-1&latency=9000000000&pbkeylen=x",
         "h|1|0||9000000000|-1||0"},
        {CONN_MODE_LISTEN, "srt://h:1?latency=12ms&pbkeylen=-16", "h|1|0||12|0||-16"},
        // A host is cut to 31 characters, options to 98.
        {CONN_MODE_CALLER, "srt://" + host40 + "?latency=3",
         host40.substr(0, 31) + "|80|0||3|0||0"},
        {CONN_MODE_LISTEN, "srt://h:1?streamid=" + cut + "vv&passphrase=" + cut + "v",
         "h|1|0|" + cut + "|0|0|" + cut + "|0"},
        // Source time is on for 1 only; failover is kept within 100..60000 ms, 0 or less is off.
        {CONN_MODE_LISTEN, "srt://h:1?sourcetime=1&failover=500", "h|1|0||0|0||0|time 1/500"},
        {CONN_MODE_LISTEN, "srt://h:1?sourcetime=2&failover=50", "h|1|0||0|0||0|time 0/100"},
        {CONN_MODE_LISTEN, "srt://h:1?failover=90000&sourcetime=0", "h|1|0||0|0||0|time 0/60000"},
        {CONN_MODE_LISTEN, "srt://h:1?failover=-5", "h|1|0||0|0||0"},
        // "port" counts only in rendezvous mode.
        {CONN_MODE_CALLER, "srt://h:1?port=5000", "h|1|0||0|0||0"},
        {CONN_MODE_RENDEZVOUS, "srt://h:1?port=5000", "h|1|5000||0|0||0"},
        // A bracketed IPv6 literal is kept whole; its colons are not the port's.
        {CONN_MODE_LISTEN, "srt://[::]:9000", "::/6|9000|0||0|0||0"},
        {CONN_MODE_CALLER, "srt://[2001:db8:85a3:1:2:8a2e:370:7334]:9000?streamid=a:b",
         "2001:db8:85a3:1:2:8a2e:370:7334/6|9000|0|a:b|0|0||0"},
        {CONN_MODE_RENDEZVOUS, "srt://[::1]?port=7&latency=1", "::1/6|80|7||1|0||0"},
        {CONN_MODE_CALLER, "srt://[::1?x]:9", "[|0|0||0|0||0"}, // no bracket before "?"
    };
    for (const auto &c : cases) {
        endpoint_url_t e = {};
        e.mode = c.mode;
        int result = -1;
        capture_stdout([&] { result = parse_endpoint_url(e, c.url.c_str()); });
        EXPECT_EQ(result, 0) << c.url;
        EXPECT_EQ(
            std::string(e.host) + (e.family == AF_INET6 ? "/6" : "") + "|" +
                std::to_string(e.port) + "|" + std::to_string(e.r_local_port) + "|" + e.streamid +
                "|" + std::to_string(e.latency) + "|" + std::to_string(e.maxbw) + "|" +
                e.passphrase + "|" + std::to_string(e.pbkeylen) +
                (e.sourcetime != 0 || e.failover_ms != 0
                     ? "|time " + std::to_string(e.sourcetime) + "/" + std::to_string(e.failover_ms)
                     : ""),
            c.expected)
            << c.url;
    }
}

// Every value the parser would take for a "passphrase" key is masked, paired as the
// parser pairs tokens; the fuzz target's seeds hold the leaks it once found.
TEST(EndpointUrl, passphrase_values_are_masked_wherever_the_parser_pairs_them)
{
    const struct {
        const char *text, *masked;
    } cases[] = {
        {"srt://h:1?streamid=a&passphrase=0123456789&pbkeylen=16",
         "srt://h:1?streamid=a&passphrase=****&pbkeylen=16"},
        {"srt://h:1?passphrase==&&secret", "srt://h:1?passphrase==&&****"},
        {"srt://h&passphrase=abc?passphrase=secret", "srt://h&passphrase=abc?passphrase=****"},
        {"srt://h:1?passphrase=&x=1", "srt://h:1?passphrase=&****=1"},
        {"srt://h:1?x=passphrase&passphrase=*?passphrase&key=value",
         "srt://h:1?x=passphrase&passphrase=****&key=value"},
        {"0.0.0.0:9001?passphrase=abc", "0.0.0.0:9001?passphrase=****"},
        {"srt://h?passphrase=a1&passphrase=b2", "srt://h?passphrase=****&passphrase=****"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mask_passphrases(c.text), c.masked) << c.text;
}
