// Endpoint URL parser: authority and query rules, option reset, refusal.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "srt/endpoint.h"
#include "testkit.h"

namespace
{

// The parsed fields as "host|port|r_local_port|streamid|latency|maxbw|passphrase|pbkeylen".
std::string fields(const endpoint_url_t &e)
{
    return std::string(e.host) + "|" + std::to_string(e.port) + "|" +
           std::to_string(e.r_local_port) + "|" + e.streamid + "|" + std::to_string(e.latency) +
           "|" + std::to_string(e.maxbw) + "|" + e.passphrase + "|" + std::to_string(e.pbkeylen);
}

struct url_case_t {
    conn_mode_t mode;
    std::string url;
    std::string expected;
};

int parse_quietly(endpoint_url_t &endpoint, const std::string &url, std::string *printed = nullptr)
{
    int result = -2;
    std::string out = capture_stdout([&] { result = parse_endpoint_url(endpoint, url.c_str()); });
    if (printed != nullptr)
        *printed = out;
    return result;
}

void run_cases(const std::vector<url_case_t> &cases)
{
    for (const url_case_t &c : cases) {
        SCOPED_TRACE(c.url + " mode " + std::to_string(c.mode));
        endpoint_url_t endpoint = {};
        endpoint.mode = c.mode;
        ASSERT_EQ(parse_quietly(endpoint, c.url), 0);
        EXPECT_EQ(fields(endpoint), c.expected);
    }
}

const conn_mode_t LISTEN = CONN_MODE_LISTEN, CALLER = CONN_MODE_CALLER;
const std::string host40 = "abcdefghij0123456789ABCDEFGHIJklmnopqrst";
const std::string host31 = host40.substr(0, 31);

TEST(EndpointUrl, authority_gives_host_and_port)
{
    run_cases({
        {LISTEN, "srt://:9000", "0.0.0.0|9000|0||0|0||0"},
        {LISTEN, "srt://10.0.0.5:9000", "10.0.0.5|9000|0||0|0||0"},
        // No port, a non-numeric one or one with trailing text: read as atoi reads it.
        {CALLER, "srt://10.0.0.5", "10.0.0.5|80|0||0|0||0"},
        {CALLER, "srt://10.0.0.5?latency=200", "10.0.0.5|80|0||200|0||0"},
        {CALLER, "srt://10.0.0.5:abc", "10.0.0.5|0|0||0|0||0"},
        {CALLER, "srt://10.0.0.5:9000abc", "10.0.0.5|9000|0||0|0||0"},
        {CALLER, "srt://10.0.0.5:-1", "10.0.0.5|-1|0||0|0||0"},
        {CALLER, "srt://10.0.0.5:70000", "10.0.0.5|70000|0||0|0||0"},
        {CALLER, "srt://h:1:2", "h|1|0||0|0||0"},
        {CALLER, "srt://h?streamid=a:b", "h|80|0|a:b|0|0||0"},
        {CALLER, "srt://?latency=5", "|80|0||5|0||0"},
        {CALLER, "udp://10.0.0.5:9000", "10.0.0.5|9000|0||0|0||0"},
        // A host longer than 31 characters is cut.
        {CALLER, "srt://" + host40 + ":1", host31 + "|1|0||0|0||0"},
        {CALLER, "srt://" + host40 + "?latency=3", host31 + "|80|0||3|0||0"},
        {CALLER, "srt://" + host31 + ":2", host31 + "|2|0||0|0||0"},
    });
}

TEST(EndpointUrl, query_tokens_pair_into_options)
{
    const std::string long_value(120, 'v'), cut_value(98, 'v');
    run_cases({
        {LISTEN,
         "srt://h:1?streamid=cam1&latency=300&maxbw=1000000&passphrase=0123456789&pbkeylen=16",
         "h|1|0|cam1|300|1000000|0123456789|16"},
        // A query of one character, a key with no value, an empty query.
        {LISTEN, "srt://10.0.0.5?x", "10.0.0.5|80|0||0|0||0"},
        {LISTEN, "srt://10.0.0.5?streamid", "10.0.0.5|80|0||0|0||0"},
        {LISTEN, "srt://h:1?", "h|1|0||0|0||0"},
        // The first value of a repeated key counts.
        {LISTEN, "srt://h:1?streamid=a&streamid=b", "h|1|0|a|0|0||0"},
        {LISTEN, "srt://h:1?latency=10&latency=20", "h|1|0||10|0||0"},
        // "=" and "&" separate alike: a value holding one is cut there and the
        // remaining tokens pair up differently.
        {LISTEN, "srt://h:1?streamid=live=cam1&latency=300", "h|1|0|live|0|0||0"},
        {LISTEN, "srt://h:1?streamid=a&b&latency=5&maxbw=7", "h|1|0|a|0|0||0"},
        {LISTEN, "srt://h:1?latency&5", "h|1|0||5|0||0"},
        {LISTEN, "srt://h:1?&&latency==7&&&maxbw=8&", "h|1|0||7|8||0"},
        // Keys are exact and values are not decoded.
        {LISTEN, "srt://h:1?Latency=5&STREAMID=x", "h|1|0||0|0||0"},
        {LISTEN, "srt://h:1?streamid=a%20b&latency=%32", "h|1|0|a%20b|0|0||0"},
        {LISTEN, "srt://h:1?streamid=x?y:z", "h|1|0|x?y:z|0|0||0"},
        // Numbers are read as atoi/atoll read them; a negative maxbw is kept.
        {LISTEN, "srt://h:1?maxbw=-1", "h|1|0||0|-1||0"},
        {LISTEN, "srt://h:1?latency=9000000000", "h|1|0||9000000000|0||0"},
        {LISTEN, "srt://h:1?latency=12ms&pbkeylen=x", "h|1|0||12|0||0"},
        {LISTEN, "srt://h:1?latency= 42&pbkeylen=-16", "h|1|0||42|0||-16"},
        // Long texts are cut to 98 characters.
        {LISTEN, "srt://h:1?streamid=" + long_value + "&passphrase=" + long_value,
         "h|1|0|" + cut_value + "|0|0|" + cut_value + "|0"},
        // "port" counts only in rendezvous mode.
        {LISTEN, "srt://h:1?port=5000", "h|1|0||0|0||0"},
        {CALLER, "srt://h:1?port=5000", "h|1|0||0|0||0"},
        {CONN_MODE_RENDEZVOUS, "srt://h:1?port=5000", "h|1|5000||0|0||0"},
        {CONN_MODE_RENDEZVOUS, "srt://h:1?port=abc", "h|1|0||0|0||0"},
    });
}

TEST(EndpointUrl, parse_without_query_clears_every_option)
{
    endpoint_url_t endpoint = {};
    endpoint.mode = CONN_MODE_RENDEZVOUS;
    endpoint.enabled = 1;
    snprintf(endpoint.url, sizeof endpoint.url, "%s", "kept as set");
    ASSERT_EQ(parse_quietly(endpoint, "srt://10.0.0.1:1?port=2&streamid=s&latency=3&maxbw=4&"
                                      "passphrase=0123456789&pbkeylen=16"),
              0);
    ASSERT_EQ(endpoint.r_local_port, 2);

    ASSERT_EQ(parse_quietly(endpoint, "srt://10.0.0.2:5"), 0);
    EXPECT_EQ(fields(endpoint), "10.0.0.2|5|0||0|0||0");
    EXPECT_EQ(endpoint.enabled, 1);
    EXPECT_EQ(endpoint.mode, CONN_MODE_RENDEZVOUS);
    EXPECT_STREQ(endpoint.url, "kept as set");
}

TEST(EndpointUrl, url_without_scheme_separator_is_refused_and_record_kept)
{
    for (const char *url : {"10.0.0.5:9000", "", "srt:/10.0.0.5:9000", "srt//h:1?latency=5"}) {
        SCOPED_TRACE(url);
        endpoint_url_t endpoint, before;
        memset(&endpoint, 0x5a, sizeof endpoint);
        memcpy(&before, &endpoint, sizeof before);
        std::string printed;
        EXPECT_EQ(parse_quietly(endpoint, url, &printed), -1);
        EXPECT_EQ(printed, "Invalid URL: No scheme found.\n");
        EXPECT_EQ(memcmp(&endpoint, &before, sizeof before), 0);
    }
}

// Every value the parser would take for a "passphrase" key is masked, in a URL
// and in a JSON document; the last rows pin leaks the fuzz target found.
TEST(EndpointUrl, passphrase_values_are_masked_wherever_the_parser_pairs_them)
{
    const struct {
        const char *text, *masked;
    } cases[] = {
        {"srt://h:1?streamid=a&passphrase=0123456789&pbkeylen=16",
         "srt://h:1?streamid=a&passphrase=****&pbkeylen=16"},
        {"srt://h:1?passphrase==&&secret", "srt://h:1?passphrase==&&****"},
        {"{\"url\":\"srt://h:1?passphrase=a\\\"b\",\"enabled\":1}",
         "{\"url\":\"srt://h:1?passphrase=****\",\"enabled\":1}"},
        {"srt://passphrase.example:1?mypassphrase=x&passphrase",
         "srt://passphrase.example:1?mypassphrase=x&passphrase"},
        {"srt://h:1?passphrase=&x=1", "srt://h:1?passphrase=&****=1"},
        {"srt://h:1?passphrase=", "srt://h:1?passphrase="},
        {"srt://h:1?x=passphrase&passphrase=secret", "srt://h:1?x=passphrase&****=****"},
        {"srt://h&passphrase=abc?passphrase=secret", "srt://h&passphrase=****?passphrase=****"},
        {"srt://h:1?x=passphrase&passphrase=?passphrase&key=value",
         "srt://h:1?x=passphrase&****=****&****=value"},
        {"srt://h:1?x=passphrase&a\\&b\\&passphrase=secret",
         "srt://h:1?x=passphrase&****&b\\&passphrase=****"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mask_passphrases(c.text), c.masked) << c.text;
}

} // namespace
