// Parsing of endpoint URLs into the endpoint record.
#include "srt/endpoint.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "core/log.h"

// First value of each known query key; nullptr when absent.
struct query_options_t {
    const char *port;
    const char *streamid;
    const char *latency;
    const char *maxbw;
    const char *passphrase;
    const char *pbkeylen;
    const char *sourcetime;
    const char *failover;
};

static void take_option(query_options_t &options, const char *key, const char *value)
{
    const char **slot = nullptr;
    if (strcmp(key, "port") == 0)
        slot = &options.port;
    else if (strcmp(key, "streamid") == 0)
        slot = &options.streamid;
    else if (strcmp(key, "latency") == 0)
        slot = &options.latency;
    else if (strcmp(key, "maxbw") == 0)
        slot = &options.maxbw;
    else if (strcmp(key, "passphrase") == 0)
        slot = &options.passphrase;
    else if (strcmp(key, "pbkeylen") == 0)
        slot = &options.pbkeylen;
    else if (strcmp(key, "sourcetime") == 0)
        slot = &options.sourcetime;
    else if (strcmp(key, "failover") == 0)
        slot = &options.failover;
    if (slot != nullptr && *slot == nullptr)
        *slot = value;
}

// Splits the query (modified in place) at '&' and '=' alike and pairs the tokens.
static void scan_query(char *query, query_options_t &options)
{
    char *save = nullptr;
    for (char *key = strtok_r(query, "&=", &save); key != nullptr;
         key = strtok_r(nullptr, "&=", &save)) {
        char *value = strtok_r(nullptr, "&=", &save);
        if (value == nullptr)
            break;
        take_option(options, key, value);
    }
}

static int32_t failover_within_bounds(long long ms)
{
    if (ms <= 0)
        return 0;
    if (ms < FAILOVER_MIN_MS)
        return FAILOVER_MIN_MS;
    return ms > FAILOVER_MAX_MS ? FAILOVER_MAX_MS : (int32_t)ms;
}

int parse_endpoint_url(endpoint_url_t &endpoint, const char *url)
{
    const char *scheme_end = strstr(url, "://");
    if (scheme_end == nullptr) {
        console_printf("Invalid URL: No scheme found.\n");
        return -1;
    }
    const char *rest = scheme_end + 3;
    const char *colon = strchr(rest, ':');
    const char *question = strchr(rest, '?');
    const char *bracket = rest[0] == '[' ? strchr(rest, ']') : nullptr;

    endpoint.family = AF_INET;
    if (bracket != nullptr && (question == nullptr || bracket < question)) {
        // An IPv6 literal, bracketed as URLs write one; the port follows the bracket.
        endpoint.family = AF_INET6;
        snprintf(endpoint.host, sizeof endpoint.host, "%.*s", (int)(bracket - rest - 1), rest + 1);
        endpoint.port = bracket[1] == ':' ? atoi(bracket + 2) : 80;
    } else if (colon != nullptr && (question == nullptr || colon < question)) {
        if (colon == rest)
            snprintf(endpoint.host, sizeof endpoint.host, "%s", "0.0.0.0");
        else
            snprintf(endpoint.host, sizeof endpoint.host, "%.*s",
                     (int)(colon - rest < 31 ? colon - rest : 31), rest);
        endpoint.port = atoi(colon + 1);
    } else {
        size_t host_len = question != nullptr ? (size_t)(question - rest) : strlen(rest);
        snprintf(endpoint.host, sizeof endpoint.host, "%.*s", (int)(host_len < 31 ? host_len : 31),
                 rest);
        endpoint.port = 80;
    }

    // The tokens point into this copy for the rest of the call.
    std::string query = question != nullptr ? std::string(question + 1) : std::string();
    query_options_t options = {};
    if (query.size() > 1)
        scan_query(&query[0], options);

    endpoint.r_local_port =
        (options.port != nullptr && endpoint.mode == CONN_MODE_RENDEZVOUS) ? atoi(options.port) : 0;
    snprintf(endpoint.streamid, sizeof endpoint.streamid, "%.98s",
             options.streamid ? options.streamid : "");
    endpoint.latency = options.latency ? atoll(options.latency) : 0;
    endpoint.maxbw = options.maxbw ? atoll(options.maxbw) : 0;
    snprintf(endpoint.passphrase, sizeof endpoint.passphrase, "%.98s",
             options.passphrase ? options.passphrase : "");
    endpoint.pbkeylen = options.pbkeylen ? atoi(options.pbkeylen) : 0;
    endpoint.sourcetime = options.sourcetime != nullptr && atoi(options.sourcetime) == 1 ? 1 : 0;
    endpoint.failover_ms = options.failover ? failover_within_bounds(atoll(options.failover)) : 0;

    console_printf("%s, %llu, %s, %s, %s\n", endpoint.streamid,
                   (unsigned long long)endpoint.latency, options.maxbw ? options.maxbw : "",
                   options.passphrase ? PASSPHRASE_MASK : "",
                   options.pbkeylen ? options.pbkeylen : "");
    return 0;
}

static bool is_query_separator(char c)
{
    return c == '&' || c == '=';
}

/*
 * Pairs the query's tokens exactly as parse_endpoint_url does (the text after the
 * first '?' past "://", split at '&' and '=' alike, key then value), and masks the
 * value of every "passphrase" pair: whatever the parser takes as the passphrase is
 * never shown. A text without "://" is read from its first '?' all the same, so a
 * refused URL is masked too. O(length).
 */
std::string mask_passphrases(const char *url)
{
    std::string out(url);
    const char *scheme_end = strstr(url, "://");
    const char *question = strchr(scheme_end != nullptr ? scheme_end + 3 : url, '?');
    if (question == nullptr)
        return out;
    std::vector<std::pair<size_t, size_t>> values; // spans of passphrase values
    size_t at = (size_t)(question - url) + 1;
    const size_t end = out.size();
    for (;;) {
        while (at < end && is_query_separator(out[at]))
            at++;
        size_t key = at;
        while (at < end && !is_query_separator(out[at]))
            at++;
        size_t key_length = at - key;
        while (at < end && is_query_separator(out[at]))
            at++;
        if (at >= end)
            break; // no key, or a key without a value
        size_t value = at;
        while (at < end && !is_query_separator(out[at]))
            at++;
        if (out.compare(key, key_length, "passphrase") == 0)
            values.emplace_back(value, at - value);
    }
    for (auto span = values.rbegin(); span != values.rend(); ++span)
        out.replace(span->first, span->second, PASSPHRASE_MASK);
    return out;
}

const char *source_mode_name(conn_mode_t mode)
{
    switch (mode) {
    case CONN_MODE_LISTEN:
        return "listen";
    case CONN_MODE_CALLER:
        return "pull";
    case CONN_MODE_RENDEZVOUS:
        return "rendezvous";
    default:
        return nullptr;
    }
}

const char *target_mode_name(conn_mode_t mode)
{
    return mode == CONN_MODE_CALLER ? "push" : source_mode_name(mode);
}
