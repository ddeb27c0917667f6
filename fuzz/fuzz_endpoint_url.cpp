// libFuzzer target of the endpoint URL parser and the passphrase masker; the input is one URL.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

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
           a.failover_ms == b.failover_ms;
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
    if (strstr(url, "passphrase") == nullptr)
        FUZZ_CHECK(masked == url);
    if (strstr(url, "://") != nullptr && must_be_hidden(url, parsed.passphrase))
        FUZZ_CHECK(masked.find(parsed.passphrase) == std::string::npos);
    delete[] url;
    return 0;
}
