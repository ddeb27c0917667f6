// Endpoint URL parser: authority and query rules, option reset, failure and trace line.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "srt/endpoint.h"
#include "testkit.h"

namespace
{

// Runs parse_endpoint_url with fd 1 sent to a file; keeps what it printed.
struct parse_result_t {
    int result;
    std::string printed;
};

parse_result_t parse_captured(endpoint_url_t &endpoint, const char *url)
{
    // An unnamed temporary file: nothing is left behind.
    FILE *sink = tmpfile();
    EXPECT_NE(sink, nullptr);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    parse_result_t parsed;
    parsed.result = parse_endpoint_url(endpoint, url);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    char buf[4096];
    rewind(sink);
    size_t length = fread(buf, 1, sizeof buf, sink);
    parsed.printed.assign(buf, length);
    fclose(sink);
    return parsed;
}

struct expected_endpoint_t {
    const char *host;
    int32_t port;
    int32_t r_local_port;
    const char *streamid;
    int64_t latency;
    int64_t maxbw;
    const char *passphrase;
    int32_t pbkeylen;
};

struct url_case_t {
    conn_mode_t mode;
    std::string url;
    expected_endpoint_t expected;
};

void expect_endpoint(const endpoint_url_t &endpoint, const expected_endpoint_t &expected)
{
    EXPECT_STREQ(endpoint.host, expected.host);
    EXPECT_EQ(endpoint.port, expected.port);
    EXPECT_EQ(endpoint.r_local_port, expected.r_local_port);
    EXPECT_STREQ(endpoint.streamid, expected.streamid);
    EXPECT_EQ(endpoint.latency, expected.latency);
    EXPECT_EQ(endpoint.maxbw, expected.maxbw);
    EXPECT_STREQ(endpoint.passphrase, expected.passphrase);
    EXPECT_EQ(endpoint.pbkeylen, expected.pbkeylen);
}

void run_cases(const std::vector<url_case_t> &cases)
{
    for (const url_case_t &c : cases) {
        SCOPED_TRACE(c.url + " mode " + std::to_string(c.mode));
        endpoint_url_t endpoint = {};
        endpoint.mode = c.mode;
        parse_result_t parsed = parse_captured(endpoint, c.url.c_str());
        ASSERT_EQ(parsed.result, 0) << parsed.printed;
        expect_endpoint(endpoint, c.expected);
    }
}

const std::string host40 = "abcdefghij0123456789ABCDEFGHIJklmnopqrst";
const std::string host31 = host40.substr(0, 31);

TEST(EndpointUrl, authority_gives_host_and_port)
{
    run_cases({
        {CONN_MODE_LISTEN, "srt://:9000", {"0.0.0.0", 9000, 0, "", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://10.0.0.5:9000", {"10.0.0.5", 9000, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5", {"10.0.0.5", 80, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5?latency=200", {"10.0.0.5", 80, 0, "", 200, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5:abc", {"10.0.0.5", 0, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5:", {"10.0.0.5", 0, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5:9000abc", {"10.0.0.5", 9000, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5:-1", {"10.0.0.5", -1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://10.0.0.5:70000", {"10.0.0.5", 70000, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://h:1:2", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://h?streamid=a:b", {"h", 80, 0, "a:b", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://?latency=5", {"", 80, 0, "", 5, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://", {"", 80, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "udp://10.0.0.5:9000", {"10.0.0.5", 9000, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "x y://h:5", {"h", 5, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://" + host40 + ":1", {host31.c_str(), 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://" + host40, {host31.c_str(), 80, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER,
         "srt://" + host40 + "?latency=3",
         {host31.c_str(), 80, 0, "", 3, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://" + host31 + ":2", {host31.c_str(), 2, 0, "", 0, 0, "", 0}},
    });
}

TEST(EndpointUrl, query_tokens_pair_into_options)
{
    const std::string long_value(120, 'v');
    const std::string cut_value(98, 'v');
    run_cases({
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=cam1&latency=300&maxbw=1000000&passphrase="
         "0123456789&pbkeylen=16",
         {"h", 1, 0, "cam1", 300, 1000000, "0123456789", 16}},
        // A query of one character, a key with no value, an empty query.
        {CONN_MODE_LISTEN, "srt://10.0.0.5?x", {"10.0.0.5", 80, 0, "", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://10.0.0.5?streamid", {"10.0.0.5", 80, 0, "", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?streamid=", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?", {"h", 1, 0, "", 0, 0, "", 0}},
        // The first value of a repeated key counts.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=a&streamid=b", {"h", 1, 0, "a", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?latency=10&latency=20", {"h", 1, 0, "", 10, 0, "", 0}},
        // "=" and "&" separate alike, so a value containing one is cut there and the
        // remaining tokens pair up differently.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=live=cam1", {"h", 1, 0, "live", 0, 0, "", 0}},
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=live=cam1&latency=300",
         {"h", 1, 0, "live", 0, 0, "", 0}},
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=a&b&latency=5&maxbw=7",
         {"h", 1, 0, "a", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?latency&5", {"h", 1, 0, "", 5, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?&&latency==7&&&maxbw=8&", {"h", 1, 0, "", 7, 8, "", 0}},
        // Keys are exact and values are not decoded.
        {CONN_MODE_LISTEN, "srt://h:1?Latency=5&STREAMID=x", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=a%20b&latency=%32",
         {"h", 1, 0, "a%20b", 0, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?streamid=x?y:z", {"h", 1, 0, "x?y:z", 0, 0, "", 0}},
        // Numbers are read as atoi/atoll read them.
        {CONN_MODE_LISTEN, "srt://h:1?maxbw=-1", {"h", 1, 0, "", 0, -1, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?latency=9000000000", {"h", 1, 0, "", 9000000000LL, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?latency=12ms&pbkeylen=x", {"h", 1, 0, "", 12, 0, "", 0}},
        {CONN_MODE_LISTEN, "srt://h:1?latency= 42&pbkeylen=-16", {"h", 1, 0, "", 42, 0, "", -16}},
        // Long texts are cut to 98 characters.
        {CONN_MODE_LISTEN,
         "srt://h:1?streamid=" + long_value + "&passphrase=" + long_value,
         {"h", 1, 0, cut_value.c_str(), 0, 0, cut_value.c_str(), 0}},
    });
}

TEST(EndpointUrl, local_port_key_counts_only_in_rendezvous_mode)
{
    run_cases({
        {CONN_MODE_LISTEN, "srt://h:1?port=5000", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_CALLER, "srt://h:1?port=5000", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_RENDEZVOUS, "srt://h:1?port=5000", {"h", 1, 5000, "", 0, 0, "", 0}},
        {CONN_MODE_RENDEZVOUS, "srt://h:1", {"h", 1, 0, "", 0, 0, "", 0}},
        {CONN_MODE_RENDEZVOUS, "srt://h:1?port=abc", {"h", 1, 0, "", 0, 0, "", 0}},
    });
}

TEST(EndpointUrl, parse_without_query_clears_every_option)
{
    endpoint_url_t endpoint = {};
    endpoint.mode = CONN_MODE_RENDEZVOUS;
    endpoint.enabled = 1;
    snprintf(endpoint.url, sizeof endpoint.url, "%s", "kept as set");
    ASSERT_EQ(parse_captured(endpoint, "srt://10.0.0.1:1?port=2&streamid=s&latency=3&maxbw=4&"
                                       "passphrase=0123456789&pbkeylen=16")
                  .result,
              0);
    ASSERT_EQ(endpoint.r_local_port, 2);

    ASSERT_EQ(parse_captured(endpoint, "srt://10.0.0.2:5").result, 0);
    expect_endpoint(endpoint, {"10.0.0.2", 5, 0, "", 0, 0, "", 0});
    EXPECT_EQ(endpoint.enabled, 1);
    EXPECT_EQ(endpoint.mode, CONN_MODE_RENDEZVOUS);
    EXPECT_STREQ(endpoint.url, "kept as set");
}

TEST(EndpointUrl, url_without_scheme_separator_is_refused_and_record_kept)
{
    const char *urls[] = {"10.0.0.5:9000", "", "srt:/10.0.0.5:9000", "srt//h:1?latency=5",
                          "srt:/:/h"};
    for (const char *url : urls) {
        SCOPED_TRACE(url);
        endpoint_url_t endpoint;
        memset(&endpoint, 0x5a, sizeof endpoint);
        endpoint_url_t before;
        memcpy(&before, &endpoint, sizeof before);
        parse_result_t parsed = parse_captured(endpoint, url);
        EXPECT_EQ(parsed.result, -1);
        EXPECT_EQ(parsed.printed, "Invalid URL: No scheme found.\n");
        EXPECT_EQ(memcmp(&endpoint, &before, sizeof before), 0);
    }
}

TEST(EndpointUrl, trace_line_shows_option_texts_as_given)
{
    struct case_t {
        const char *url;
        const char *line;
    };
    const case_t cases[] = {
        {"srt://h:1", ", 0, , , \n"},
        {"srt://h:1?streamid=cam&latency=200&maxbw=-1&passphrase=0123456789&pbkeylen=16",
         "cam, 200, -1, 0123456789, 16\n"},
        // maxbw, passphrase and pbkeylen print the query text; latency prints the number.
        {"srt://h:1?maxbw=12abc&pbkeylen=x&latency=7z", ", 7, 12abc, , x\n"},
        {"srt://h:1?latency=-1", ", 18446744073709551615, , , \n"},
    };
    for (const case_t &c : cases) {
        endpoint_url_t endpoint = {};
        parse_result_t parsed = parse_captured(endpoint, c.url);
        EXPECT_EQ(parsed.result, 0);
        EXPECT_EQ(parsed.printed, c.line) << c.url;
    }
}

TEST(EndpointUrl, mode_codes_have_source_and_target_names)
{
    struct case_t {
        conn_mode_t mode;
        const char *source;
        const char *target;
    };
    const case_t cases[] = {
        {CONN_MODE_LISTEN, "listen", "listen"},
        {CONN_MODE_CALLER, "pull", "push"},
        {CONN_MODE_RENDEZVOUS, "rendezvous", "rendezvous"},
    };
    for (const case_t &c : cases) {
        EXPECT_STREQ(source_mode_name(c.mode), c.source);
        EXPECT_STREQ(target_mode_name(c.mode), c.target);
    }
    EXPECT_EQ(source_mode_name(3), nullptr);
    EXPECT_EQ(target_mode_name(3), nullptr);
}

} // namespace
