// Endpoint URL parser and passphrase masking: authority and query rules, option reset, refusal.
#include <string.h>

#include <string>

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

const conn_mode_t LISTEN = CONN_MODE_LISTEN, CALLER = CONN_MODE_CALLER,
                  RENDEZVOUS = CONN_MODE_RENDEZVOUS;

// Each URL is parsed into a record that holds every option of an earlier parse: all of
// them are set from the new URL alone, while url, enabled and mode stay. An expected ""
// means refused: the record is left exactly as it was.
TEST(EndpointUrl, every_option_comes_from_the_url_alone)
{
    const std::string host40 = "abcdefghij0123456789ABCDEFGHIJklmnopqrst";
    const std::string host31 = host40.substr(0, 31), long_value(120, 'v'), cut_value(98, 'v');
    const struct {
        conn_mode_t mode;
        std::string url, expected;
    } cases[] = {
        {LISTEN, "srt://:9000", "0.0.0.0|9000|0||0|0||0"},
        {LISTEN, "srt://10.0.0.5:9000", "10.0.0.5|9000|0||0|0||0"},
        // No port, or one that is not a number: read as atoi reads it.
        {CALLER, "srt://10.0.0.5", "10.0.0.5|80|0||0|0||0"},
        {CALLER, "srt://10.0.0.5?latency=200", "10.0.0.5|80|0||200|0||0"},
        {CALLER, "srt://10.0.0.5:abc", "10.0.0.5|0|0||0|0||0"},
        {CALLER, "srt://10.0.0.5:70000", "10.0.0.5|70000|0||0|0||0"},
        {CALLER, "srt://h:1:2", "h|1|0||0|0||0"},
        {CALLER, "srt://h?streamid=a:b", "h|80|0|a:b|0|0||0"},
        {CALLER, "udp://?latency=5", "|80|0||5|0||0"},
        // A host longer than 31 characters is cut.
        {CALLER, "srt://" + host40 + ":1", host31 + "|1|0||0|0||0"},
        {CALLER, "srt://" + host40 + "?latency=3", host31 + "|80|0||3|0||0"},
        {LISTEN,
         "srt://h:1?streamid=cam1&latency=300&maxbw=1000000&passphrase=0123456789&pbkeylen=16",
         "h|1|0|cam1|300|1000000|0123456789|16"},
        // A query of one character, a key with no value.
        {LISTEN, "srt://10.0.0.5?x", "10.0.0.5|80|0||0|0||0"},
        {LISTEN, "srt://h:1?streamid", "h|1|0||0|0||0"},
        // The first value of a repeated key counts; keys are exact, values not decoded.
        {LISTEN, "srt://h:1?streamid=a%20b&streamid=b&latency=10&latency=20&Maxbw=5",
         "h|1|0|a%20b|10|0||0"},
        // "=" and "&" separate alike, so the tokens pair up across them.
        {LISTEN, "srt://h:1?streamid=live=cam1&latency=300", "h|1|0|live|0|0||0"},
        {LISTEN, "srt://h:1?&&latency==7&&&maxbw=8&pbkeylen&16", "h|1|0||7|8||16"},
        // Numbers are read as atoi/atoll read them; a negative maxbw is kept.
        {LISTEN, "srt://h:1?maxbw=-1&latency=9000000000&pbkeylen=x", "h|1|0||9000000000|-1||0"},
        {LISTEN, "srt://h:1?latency=12ms&pbkeylen=-16", "h|1|0||12|0||-16"},
        // Long texts are cut to 98 characters.
        {LISTEN, "srt://h:1?streamid=" + long_value + "&passphrase=" + long_value,
         "h|1|0|" + cut_value + "|0|0|" + cut_value + "|0"},
        // "port" counts only in rendezvous mode.
        {CALLER, "srt://h:1?port=5000", "h|1|0||0|0||0"},
        {RENDEZVOUS, "srt://h:1?port=5000", "h|1|5000||0|0||0"},
        {RENDEZVOUS, "srt://10.0.0.2:5", "10.0.0.2|5|0||0|0||0"},
        // Without "://" nothing is parsed.
        {RENDEZVOUS, "10.0.0.5:9000", ""},
        {LISTEN, "", ""},
        {CALLER, "srt:/10.0.0.5:9000?latency=5", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url + " mode " + std::to_string(c.mode));
        endpoint_url_t endpoint = {};
        endpoint.mode = c.mode;
        endpoint.enabled = 1;
        snprintf(endpoint.url, sizeof endpoint.url, "%s", "kept as set");
        capture_stdout([&] {
            parse_endpoint_url(endpoint, "srt://9.9.9.9:9?port=2&streamid=s&latency=3&maxbw=4&"
                                         "passphrase=0123456789&pbkeylen=16");
        });
        endpoint_url_t before = endpoint;
        int result = -2;
        std::string printed =
            capture_stdout([&] { result = parse_endpoint_url(endpoint, c.url.c_str()); });
        if (c.expected.empty()) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(printed, "Invalid URL: No scheme found.\n");
            EXPECT_EQ(memcmp(&endpoint, &before, sizeof before), 0);
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(fields(endpoint), c.expected);
        EXPECT_EQ(endpoint.enabled, 1);
        EXPECT_EQ(endpoint.mode, c.mode);
        EXPECT_STREQ(endpoint.url, "kept as set");
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
