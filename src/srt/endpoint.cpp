// Parsing of endpoint URLs into the endpoint record.
#include "srt/endpoint.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// First value of each known query key; nullptr when absent.
struct query_options_t {
    const char *port;
    const char *streamid;
    const char *latency;
    const char *maxbw;
    const char *passphrase;
    const char *pbkeylen;
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

int parse_endpoint_url(endpoint_url_t &endpoint, const char *url)
{
    const char *scheme_end = strstr(url, "://");
    if (scheme_end == nullptr) {
        printf("Invalid URL: No scheme found.\n");
        return -1;
    }
    const char *rest = scheme_end + 3;
    const char *colon = strchr(rest, ':');
    const char *question = strchr(rest, '?');

    if (colon != nullptr && (question == nullptr || colon < question)) {
        if (colon == rest)
            snprintf(endpoint.host, sizeof endpoint.host, "%s", "0.0.0.0");
        else
            snprintf(endpoint.host, sizeof endpoint.host, "%.*s", (int)(colon - rest), rest);
        endpoint.port = atoi(colon + 1);
    } else {
        size_t host_len = question != nullptr ? (size_t)(question - rest) : strlen(rest);
        snprintf(endpoint.host, sizeof endpoint.host, "%.*s", (int)host_len, rest);
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

    printf("%s, %llu, %s, %s, %s\n", endpoint.streamid, (unsigned long long)endpoint.latency,
           options.maxbw ? options.maxbw : "", options.passphrase ? PASSPHRASE_MASK : "",
           options.pbkeylen ? options.pbkeylen : "");
    return 0;
}

static bool is_query_separator(char c)
{
    return c == '&' || c == '=';
}

// Whether p is a '?' opening a query whose first key is "passphrase": the parser's
// query starts at the first '?', which may follow a "passphrase" value in the host.
static bool opens_passphrase_query(const char *p)
{
    return p[0] == '?' && strncmp(p + 1, "passphrase", 10) == 0 && is_query_separator(p[11]);
}

// Whether a backslash at p escapes the next character into the value (JSON's \"
// and \\). Never a separator nor a '?' opening a key: the URL parser reads a
// backslash as a plain character.
static bool escapes_next(const char *p)
{
    return p[0] == '\\' && p[1] != '\0' && !is_query_separator(p[1]) &&
           !opens_passphrase_query(p + 1);
}

/*
 * The parser pairs tokens split at '&' and '=' alike, so whatever token follows
 * a "passphrase" key, however many separators stand between, is its value. The
 * value ends at a separator, a quote (the text may be a JSON document), a line
 * end, a '?' opening a "passphrase" key (past its first character) or the end;
 * a backslash escape inside it is part of it. O(length).
 */
std::string mask_passphrases(const char *text)
{
    static const char key[] = "passphrase";
    const size_t key_length = sizeof key - 1;
    std::string out;
    const char *p = text;
    while (*p != '\0') {
        bool at_key = strncmp(p, key, key_length) == 0 && is_query_separator(p[key_length]) &&
                      (p == text || p[-1] == '?' || is_query_separator(p[-1]));
        if (!at_key) {
            out += *p++;
            continue;
        }
        out.append(p, key_length);
        p += key_length;
        // A value that is the key word again, or "?passphrase", may be the key in
        // the parser's pairing ("x=passphrase&passphrase=secret", or a host ending
        // in "&passphrase=" before the query), so the value after it is masked too.
        bool value_is_key = true;
        while (value_is_key) {
            while (is_query_separator(*p))
                out += *p++;
            const char *value = p;
            while (*p != '\0' && !is_query_separator(*p) && *p != '"' && *p != '\n' && *p != '\r' &&
                   !(p != value && opens_passphrase_query(p)))
                p += escapes_next(p) ? 2 : 1;
            if (p != value)
                out += PASSPHRASE_MASK;
            const char *word = *value == '?' ? value + 1 : value;
            value_is_key = (size_t)(p - word) == key_length &&
                           strncmp(word, key, key_length) == 0 && is_query_separator(*p);
        }
    }
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
