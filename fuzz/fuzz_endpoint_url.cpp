// libFuzzer target of the endpoint URL parser, its check and the passphrase masker.
// The input is one URL; read as "A\nS\nB" it also makes "srt://A?passphrase=S&B".
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "srt/endpoint.h"

static bool ends_within(const char *field, size_t size)
{
    return memchr(field, '\0', size) != nullptr;
}

// Parses url into a record filled with fill; checks what must hold of any parse.
static int parse_checked(endpoint_url_t &endpoint, const char *url, conn_mode_t mode, int fill)
{
    memset(&endpoint, fill, sizeof endpoint);
    endpoint.enabled = 3;
    endpoint.mode = mode;
    endpoint_url_t before = endpoint;
    int result = parse_endpoint_url(endpoint, url);
    if (result == -1) {
        FUZZ_CHECK(strstr(url, "://") == nullptr);
        FUZZ_CHECK(memcmp(&endpoint, &before, sizeof endpoint) == 0);
        return result;
    }
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(ends_within(endpoint.host, sizeof endpoint.host));
    // Only a bracketed literal is IPv6, and only an IPv6 host may be longer than 31.
    FUZZ_CHECK(endpoint.family == AF_INET6 || endpoint.family == AF_INET);
    FUZZ_CHECK(endpoint.family != AF_INET6 ||
               (strstr(url, "://[") != nullptr && strstr(url, "://[") == strstr(url, "://")));
    FUZZ_CHECK(endpoint.family == AF_INET6 || strlen(endpoint.host) <= 31);
    FUZZ_CHECK(ends_within(endpoint.streamid, sizeof endpoint.streamid));
    FUZZ_CHECK(ends_within(endpoint.passphrase, sizeof endpoint.passphrase));
    FUZZ_CHECK(endpoint.enabled == 3 && endpoint.mode == mode);
    FUZZ_CHECK(memcmp(endpoint.url, before.url, sizeof endpoint.url) == 0);
    FUZZ_CHECK(mode == CONN_MODE_RENDEZVOUS || endpoint.r_local_port == 0);
    FUZZ_CHECK(endpoint.sourcetime <= 1);
    FUZZ_CHECK(endpoint.failover_ms == 0 || (endpoint.failover_ms >= FAILOVER_MIN_MS &&
                                             endpoint.failover_ms <= FAILOVER_MAX_MS));
    return result;
}

// Every field the parser fills is set on every parse: what stood before never shows.
static bool same_fields(const endpoint_url_t &a, const endpoint_url_t &b)
{
    return strcmp(a.host, b.host) == 0 && a.family == b.family && a.port == b.port &&
           a.r_local_port == b.r_local_port && a.pbkeylen == b.pbkeylen && a.latency == b.latency &&
           a.maxbw == b.maxbw && strcmp(a.passphrase, b.passphrase) == 0 &&
           strcmp(a.streamid, b.streamid) == 0 && a.sourcetime == b.sourcetime &&
           a.failover_ms == b.failover_ms && a.kmrefreshrate == b.kmrefreshrate &&
           a.kmpreannounce == b.kmpreannounce;
}

/*
 * A URL the check does not refuse listens on, or calls, the port it writes (80 when it
 * writes none), never another; one it takes as it is (URL_OK) also writes exactly its
 * host, and the record rebuilt as "srt://host:port" reads the same and passes too.
 */
static void check_round_trip(const char *url, conn_mode_t mode)
{
    char reason[1024];
    int verdict = check_endpoint_url(url, mode, reason, sizeof reason);
    FUZZ_CHECK(verdict == URL_OK || verdict == URL_LENIENT || verdict == URL_REFUSED);
    FUZZ_CHECK((verdict == URL_OK) == (reason[0] == '\0'));
    FUZZ_CHECK(verdict == URL_REFUSED || strlen(url) < ENDPOINT_URL_SIZE);
    if (verdict == URL_REFUSED)
        return;
    endpoint_url_t endpoint = {};
    endpoint.mode = mode;
    FUZZ_CHECK(parse_endpoint_url(endpoint, url) == 0);
    // A recording's folder: neither host nor port, so nothing listens or calls.
    if (strncmp(url, "file://", 7) == 0) {
        FUZZ_CHECK(endpoint.host[0] == '\0' && endpoint.port == 0);
        return;
    }
    const char *rest = strstr(url, "://") + 3;
    std::string authority(rest, strcspn(rest, "?"));
    size_t host_end = authority[0] == '[' ? authority.find(']') : authority.find(':');
    FUZZ_CHECK(authority[0] != '[' || host_end != std::string::npos);
    host_end = std::min(host_end + (authority[0] == '[' ? 1 : 0), authority.size());
    std::string written_host = authority.substr(0, host_end);
    std::string written_port = authority.substr(host_end);
    if (written_port.empty()) {
        FUZZ_CHECK(endpoint.port == 80);
    } else {
        FUZZ_CHECK(written_port[0] == ':' && written_port.size() > 1 &&
                   strspn(written_port.c_str() + 1, "0123456789") == written_port.size() - 1);
        FUZZ_CHECK(atol(written_port.c_str() + 1) == endpoint.port);
    }
    FUZZ_CHECK(endpoint.port >= (mode == CONN_MODE_LISTEN ? 0 : 1) && endpoint.port <= 65535);
    FUZZ_CHECK((endpoint.family == AF_INET6) == (written_host[0] == '['));
    if (verdict != URL_OK)
        return;
    std::string host = endpoint.family == AF_INET6 ? "[" + std::string(endpoint.host) + "]"
                                                   : std::string(endpoint.host);
    if (written_host.empty()) {
        FUZZ_CHECK(host == "0.0.0.0" && !written_port.empty());
        host = "";
    } else {
        FUZZ_CHECK(host == written_host);
    }
    std::string rebuilt = "srt://" + host + ":" + std::to_string(endpoint.port);
    endpoint_url_t again = {};
    again.mode = mode;
    FUZZ_CHECK(parse_endpoint_url(again, rebuilt.c_str()) == 0);
    FUZZ_CHECK(check_endpoint_url(rebuilt.c_str(), mode, reason, sizeof reason) == URL_OK);
    FUZZ_CHECK(strcmp(again.host, endpoint.host) == 0 && again.family == endpoint.family &&
               again.port == endpoint.port);
}

static size_t occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

/*
 * A URL whose query holds passphrase=S (the key in any case) never prints S: not in the
 * masked URL, the parse trace or the check's reasons, whatever stands before it. S is
 * letters and digits, at least 10, standing once in the URL (elsewhere it would be some
 * other text, printed rightly), with a letter and a digit (no fixed text printed holds such
 * a word).
 */
static void check_secret_hidden(const std::string &input)
{
    size_t first = input.find('\n');
    size_t second = first == std::string::npos ? first : input.find('\n', first + 1);
    if (second == std::string::npos)
        return;
    std::string before = input.substr(0, first);
    std::string secret;
    for (char c : input.substr(first + 1, second - first - 1))
        if (isalnum((unsigned char)c))
            secret += c;
    std::string after = input.substr(second + 1);
    // A letter and a digit: no fixed text of a reason or trace holds such a word.
    bool letter = std::any_of(secret.begin(), secret.end(), [](char c) { return isalpha(c); });
    bool digit = std::any_of(secret.begin(), secret.end(), [](char c) { return isdigit(c); });
    if (secret.size() < PASSPHRASE_MIN_CHARS || !letter || !digit ||
        before.find('\0') != std::string::npos || after.find('\0') != std::string::npos)
        return;
    std::string key = "passphrase";
    for (size_t i = 0; i < 8; i++)
        if ((before.size() >> i) & 1)
            key[i] = (char)toupper(key[i]);
    std::string url = "srt://" + before + (before.find('?') == std::string::npos ? "?" : "") + key +
                      "=" + secret + (after.empty() ? "" : "&" + after);
    if (occurrences(url, secret) != 1)
        return;
    FUZZ_CHECK(mask_passphrases(url.c_str()).find(secret) == std::string::npos);
    g_console.clear();
    for (conn_mode_t mode : {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS}) {
        endpoint_url_t endpoint = {};
        endpoint.mode = mode;
        parse_endpoint_url(endpoint, url.c_str());
        char reason[2048];
        check_endpoint_url(url.c_str(), mode, reason, sizeof reason);
        FUZZ_CHECK(strstr(reason, secret.c_str()) == nullptr);
    }
    FUZZ_CHECK(g_console.find(secret) == std::string::npos);
}

/*
 * Whether the masked URL must not show the parsed passphrase: when its text stands
 * once in the URL (elsewhere it may be the host or another value, which are
 * printed rightly) and is not made of the mask's stars only.
 */
static bool must_be_hidden(const char *url, const char *passphrase)
{
    if (passphrase[0] == '\0' || strspn(passphrase, "*") == strlen(passphrase))
        return false;
    const char *first = strstr(url, passphrase);
    return first != nullptr && strstr(first + 1, passphrase) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A block of the exact size, so that reading past the URL's end shows.
    char *url = new char[size + 1];
    memcpy(url, data, size);
    url[size] = '\0';

    endpoint_url_t parsed;
    for (conn_mode_t mode : {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS}) {
        endpoint_url_t other;
        int result = parse_checked(parsed, url, mode, 0x00);
        FUZZ_CHECK(parse_checked(other, url, mode, 0xa5) == result);
        FUZZ_CHECK(result == -1 || same_fields(parsed, other));
    }

    std::string masked = mask_passphrases(url);
    if (strcasestr(url, "passphrase") == nullptr)
        FUZZ_CHECK(masked == url);
    if (strstr(url, "://") != nullptr && must_be_hidden(url, parsed.passphrase))
        FUZZ_CHECK(masked.find(parsed.passphrase) == std::string::npos);
    if (strstr(url, "://") != nullptr)
        for (conn_mode_t mode : {CONN_MODE_LISTEN, CONN_MODE_CALLER, CONN_MODE_RENDEZVOUS})
            check_round_trip(url, mode);
    check_secret_hidden(std::string(reinterpret_cast<const char *>(data), size));
    delete[] url;
    return 0;
}
