// Endpoint URL parser and passphrase masking: what each URL gives, what the masker hides.
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "srt/endpoint.h"
#include "testkit.h"

// host[/6]|port|r_local_port|streamid|latency|maxbw|passphrase|pbkeylen[|time ..][|km ..].
static std::string fields_of(const endpoint_url_t &e)
{
    std::string text =
        std::string(e.host) + (e.family == AF_INET6 ? "/6" : "") + "|" + std::to_string(e.port) +
        "|" + std::to_string(e.r_local_port) + "|" + e.streamid + "|" + std::to_string(e.latency) +
        "|" + std::to_string(e.maxbw) + "|" + e.passphrase + "|" + std::to_string(e.pbkeylen);
    if (e.sourcetime != 0 || e.failover_ms != 0)
        text += "|time " + std::to_string(e.sourcetime) + "/" + std::to_string(e.failover_ms);
    if (e.kmrefreshrate != 0 || e.kmpreannounce != 0)
        text += "|km " + std::to_string(e.kmrefreshrate) + "/" + std::to_string(e.kmpreannounce);
    return text;
}

// What the parser takes from each URL, however wrong: stored files load as they always did.
TEST(EndpointUrl, authority_and_query_give_the_options)
{
    const std::string host40 = "abcdefghij0123456789ABCDEFGHIJklmnopqrst", cut(98, 'v');
    const std::string id512(512, 'i');
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
        // The first value of a repeated key counts; keys are exact.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=a%20b&streamid=b&latency=10&latency=20&Maxbw=5",
         "h|1|0|a%20b|10|0||0"},
        // A value ends at '=', but the options after it still apply.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=live=cam1&latency=300", "h|1|0|live|300|0||0"},
        {CONN_MODE_LISTEN, "srt://:9?streamid=k=v&passphrase=0123456789&latency=200",
         "0.0.0.0|9|0|k|200|0|0123456789|0"},
        {CONN_MODE_LISTEN, "srt://h:1?&&latency==7&&&maxbw=8&pbkeylen&16&x", "h|1|0||0|8||0"},
        // Only %26 %3D %23 %25 are decoded, once.
        {CONN_MODE_LISTEN, "srt://h:1?streamid=a%26b%3dc%23d%25e%2526%41%2&passphrase=p%3D%26q",
         "h|1|0|a&b=c#d%e%26%41%2|0|0|p=&q|0"},
        {CONN_MODE_LISTEN, "srt://h:1?streamid=%23!::r=live", "h|1|0|#!::r|0|0||0"},
        // Numbers are read as atoi/atoll read them.
        {CONN_MODE_LISTEN, "srt://h:1?maxbw=-1&latency=9000000000&pbkeylen=x",
         "h|1|0||9000000000|-1||0"},
        {CONN_MODE_LISTEN, "srt://h:1?latency=12ms&pbkeylen=-16", "h|1|0||12|0||-16"},
        // A host is cut to 31 characters, a passphrase to 98, a stream id to libsrt's 512.
        {CONN_MODE_CALLER, "srt://" + host40 + "?latency=3",
         host40.substr(0, 31) + "|80|0||3|0||0"},
        {CONN_MODE_LISTEN, "srt://h:1?streamid=" + id512 + "vv&passphrase=" + cut + "v",
         "h|1|0|" + id512 + "|0|0|" + cut + "|0"},
        // Source time is on for 1 only; failover is kept within 100..60000 ms, 0 or less is off.
        {CONN_MODE_LISTEN, "srt://h:1?sourcetime=1&failover=500", "h|1|0||0|0||0|time 1/500"},
        {CONN_MODE_LISTEN, "srt://h:1?sourcetime=2&failover=50", "h|1|0||0|0||0|time 0/100"},
        {CONN_MODE_LISTEN, "srt://h:1?failover=90000&sourcetime=0", "h|1|0||0|0||0|time 0/60000"},
        {CONN_MODE_LISTEN, "srt://h:1?failover=-5", "h|1|0||0|0||0"},
        {CONN_MODE_CALLER, "srt://h:1?kmrefreshrate=1000&kmpreannounce=100",
         "h|1|0||0|0||0|km 1000/100"},
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
        EXPECT_EQ(fields_of(e), c.expected) << c.url;
    }
}

// What the API refuses (would listen elsewhere, cut, ignore) or calls lenient, with the reason.
TEST(EndpointUrl, check_refuses_what_would_be_cut_ignored_or_misread)
{
    const std::string long_url = "srt://:9?latency=1" + std::string(2048 - 18, '&');
    const struct {
        conn_mode_t mode;
        std::string url;
        int verdict;
        std::string reason;
    } cases[] = {
        {CONN_MODE_LISTEN, "srt://:9000", URL_OK, ""},
        {CONN_MODE_LISTEN, "srt://:0", URL_OK, ""},
        {CONN_MODE_CALLER, "srt://10.0.0.5", URL_OK, ""},
        {CONN_MODE_RENDEZVOUS,
         "srt://127.0.0.1:9000?port=5000&streamid=" + std::string(512, 'i') +
             "&passphrase=0123456789&pbkeylen=16&latency=200&maxbw=-1&sourcetime=1&failover=500"
             "&kmrefreshrate=1000&kmpreannounce=499",
         URL_OK, ""},
        // Host and port that do not parse: they once listened on another port, even UDP 80.
        {CONN_MODE_LISTEN, "srt://[::1:9000", URL_REFUSED, "host: '[' without ']'"},
        {CONN_MODE_LISTEN, "srt://[::1]]:9000", URL_REFUSED,
         "port \"]:9000\" is not a number from 0 to 65535"},
        {CONN_MODE_LISTEN, "srt://:abc", URL_REFUSED,
         "port \"abc\" is not a number from 0 to 65535"},
        {CONN_MODE_CALLER, "srt://h:1:2", URL_REFUSED,
         "port \"1:2\" is not a number from 1 to 65535"},
        {CONN_MODE_CALLER, "srt://h:0", URL_REFUSED, "port \"0\" is not a number from 1 to 65535"},
        {CONN_MODE_LISTEN, "srt://h:65536?latency=1", URL_REFUSED,
         "port \"65536\" is not a number from 0 to 65535"},
        {CONN_MODE_CALLER, "srt://[fe80::zz]:9", URL_REFUSED,
         "host [fe80::zz] is not an IPv6 address"},
        {CONN_MODE_CALLER, "srt://a@b:9", URL_REFUSED,
         "host \"a@b\" is not a host name or address"},
        {CONN_MODE_RENDEZVOUS, "srt://1.2.3.4:9?port=70000", URL_REFUSED,
         "port option is not a number from 0 to 65535"},
        {CONN_MODE_LISTEN, "10.0.0.5:9000", URL_REFUSED, "No scheme found."},
        {CONN_MODE_LISTEN, "srt://?latency=5", URL_REFUSED, "url names neither host nor port"},
        {CONN_MODE_LISTEN, long_url, URL_REFUSED, "url is longer than 2047 characters"},
        // An id libsrt would cut, a passphrase it would ignore.
        {CONN_MODE_LISTEN, "srt://:9?streamid=" + std::string(513, 'i'), URL_REFUSED,
         "the stream id is longer than 512 bytes"},
        {CONN_MODE_LISTEN, "srt://:9?passphrase=short", URL_REFUSED,
         "the passphrase must be 10 to 79 characters"},
        {CONN_MODE_LISTEN, "srt://:9?passphrase", URL_REFUSED,
         "the passphrase must be 10 to 79 characters; option passphrase has no value"},
        {CONN_MODE_LISTEN, "srt://:9?PASSPHRASE=0123456789", URL_REFUSED,
         "the passphrase must be 10 to 79 characters; the passphrase must be given as "
         "passphrase=VALUE"},
        {CONN_MODE_LISTEN, "srt://:9?passphrase=0123=456789", URL_REFUSED,
         "the passphrase must be 10 to 79 characters; the value of passphrase holds '=': write "
         "it as %3D"},
        // Read as stored files always were, but refused at the API.
        {CONN_MODE_LISTEN, "srt://:9?mode=caller&x", URL_LENIENT,
         "unknown option mode; unknown option x"},
        {CONN_MODE_LISTEN, "srt://:9?passphrase=0123456789&PASSPHRASE&secret", URL_LENIENT,
         "the passphrase must be given as passphrase=VALUE; unknown option after passphrase (not "
         "shown)"},
        {CONN_MODE_LISTEN, "srt://:9?streamid=k=v&passphrase=0123456789", URL_LENIENT,
         "the value of streamid holds '=': write it as %3D"},
        {CONN_MODE_LISTEN, "srt://:9?streamid=a&streamid=b", URL_LENIENT,
         "option streamid is given twice: the first counts"},
        {CONN_MODE_LISTEN, "srt://:9?latency&maxbw=", URL_LENIENT,
         "option latency has no value; option maxbw has no value"},
        {CONN_MODE_LISTEN, "srt://:9?latency=12ms&failover=1e3&pbkeylen=20", URL_LENIENT,
         "the value of latency is not a whole number; the value of failover is not a whole "
         "number; pbkeylen must be 16, 24 or 32"},
        {CONN_MODE_LISTEN, "srt://:9?latency=-1&sourcetime=2", URL_LENIENT,
         "latency must be 0 or more; sourcetime must be 0 or 1"},
        {CONN_MODE_LISTEN, "srt://:9?kmrefreshrate=1000&kmpreannounce=500", URL_LENIENT,
         "kmpreannounce must be from 0 to 499 (half of kmrefreshrate)"},
        {CONN_MODE_CALLER, "srt://abcdefghij0123456789ABCDEFGHIJkl:9", URL_LENIENT,
         "host is longer than 31 characters"},
        {CONN_MODE_LISTEN, "srt://:9?\xc3\xa9t\xc3\xa9=1", URL_LENIENT, "unknown option ??t??"},
        // Who may call: a malformed list or cap would let in whom the operator kept out.
        {CONN_MODE_LISTEN, "srt://:9?allow=10.0.0.0/8+2001:db8::/32+127.0.0.1&maxcallers=3", URL_OK,
         ""},
        {CONN_MODE_LISTEN, "srt://:9?allow=10.0.0.0/8+&maxcallers=0", URL_REFUSED,
         "allow must be up to 64 address blocks (address or address/bits) joined by +; "
         "maxcallers must be a whole number from 1 to 100000"},
        {CONN_MODE_LISTEN, "srt://:9?allow=::1/129", URL_REFUSED,
         "allow must be up to 64 address blocks (address or address/bits) joined by +"},
        {CONN_MODE_CALLER, "srt://h:9?maxcallers=2", URL_LENIENT,
         "maxcallers applies to a listening endpoint only"},
    };
    for (const auto &c : cases) {
        char reason[400] = "unset";
        EXPECT_EQ(check_endpoint_url(c.url.c_str(), c.mode, reason, sizeof reason), c.verdict)
            << c.url;
        EXPECT_EQ(std::string(reason), c.reason) << c.url;
    }
}

// A passphrase value shows nowhere: masked URL, parse trace, check reason.
TEST(EndpointUrl, passphrase_values_are_masked_whatever_precedes_them)
{
    const struct {
        const char *text, *masked;
    } cases[] = {
        {"srt://:9?streamid=k=v&passphrase=SECRET1234&latency=200",
         "srt://:9?streamid=k=v&passphrase=****&latency=200"},
        {"srt://:9?streamid=a%26b%3D&passphrase=SECRET1234",
         "srt://:9?streamid=a%26b%3D&passphrase=****"},
        {"srt://:9?streamid=#!::r=live,m=publish&passphrase=SECRET1234&latency=1",
         "srt://:9?streamid=#!::r=live,m=publish&passphrase=****&latency=1"},
        {"srt://:9?passphrase=SECRET1234&passphrase=SECRET5678",
         "srt://:9?passphrase=****&passphrase=****"},
        {"srt://:9?PASSPHRASE=SECRET1234&PassPhrase=SECRET5678",
         "srt://:9?PASSPHRASE=****&PassPhrase=****"},
        {"srt://:9?latency=1&passphrase%3dSECRET1234", "srt://:9?latency=1&passphrase%3d****"},
        {"srt://:9?passphrase=SECRET=1234&x=1", "srt://:9?passphrase=****&x=1"},
        {"srt://:9?x=passphrase=SECRET1234", "srt://:9?x=passphrase=****"},
        {"srt://h&passphrase=SECRET1234?passphrase=SECRET5678", "srt://h&passphrase=****"},
        {"0.0.0.0:9001?passphrase=SECRET1234", "0.0.0.0:9001?passphrase=****"},
        // Old route files paired "passphrase" with the token after any separators.
        {"srt://:9?passphrase==SECRET1234&x=1", "srt://:9?passphrase==****&x=1"},
        {"srt://:9?latency=1&passphrase&SECRET1234", "srt://:9?latency=1&passphrase&****"},
        {"srt://:9?passphrase=&SECRET1234=1", "srt://:9?passphrase=&****=1"},
        {"srt://:9?passphrase&passphrase=SECRET1234", "srt://:9?passphrase&passphrase=****"},
        // Nothing else is masked.
        {"srt://:9?streamid=passphrase&latency=200", "srt://:9?streamid=passphrase&latency=200"},
        {"srt://:9?passphrase=&", "srt://:9?passphrase=&"},
        {"srt://passphrase:9?latency=200", "srt://passphrase:9?latency=200"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(mask_passphrases(c.text), c.masked) << c.text;
        char reason[400];
        std::string printed = capture_stdout([&] {
            endpoint_url_t e = {};
            parse_endpoint_url(e, c.text);
        });
        check_endpoint_url(c.text, CONN_MODE_LISTEN, reason, sizeof reason);
        for (const char *secret : {"SECRET", "1234", "5678"})
            EXPECT_EQ((printed + reason).find(secret), std::string::npos) << c.text;
    }
}
