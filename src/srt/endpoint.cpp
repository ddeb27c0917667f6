// Parsing of endpoint URLs into the endpoint record.
#include "srt/endpoint.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "recording/recording_url.h"

// The options a URL may hold: each one's name and what its value must be.
enum option_kind_t { OPTION_TEXT, OPTION_INTEGER };
enum option_t {
    OPTION_PORT,
    OPTION_STREAMID,
    OPTION_LATENCY,
    OPTION_MAXBW,
    OPTION_PASSPHRASE,
    OPTION_PBKEYLEN,
    OPTION_SOURCETIME,
    OPTION_FAILOVER,
    OPTION_KMREFRESHRATE,
    OPTION_KMPREANNOUNCE,
    OPTION_ALLOW,
    OPTION_MAXCALLERS,
    OPTION_COUNT,
};
static const struct {
    const char *name;
    option_kind_t kind;
} options_known[OPTION_COUNT] = {
    {"port", OPTION_INTEGER},          {"streamid", OPTION_TEXT},
    {"latency", OPTION_INTEGER},       {"maxbw", OPTION_INTEGER},
    {"passphrase", OPTION_TEXT},       {"pbkeylen", OPTION_INTEGER},
    {"sourcetime", OPTION_INTEGER},    {"failover", OPTION_INTEGER},
    {"kmrefreshrate", OPTION_INTEGER}, {"kmpreannounce", OPTION_INTEGER},
    {"allow", OPTION_TEXT},            {"maxcallers", OPTION_INTEGER},
};

// libsrt's key refresh rate when none is set (packets).
#define KM_REFRESH_RATE_DEFAULT 0x1000000

// What a query gives: the first value of each option, decoded, and what is wrong.
struct query_scan_t {
    bool given[OPTION_COUNT] = {};
    std::string value[OPTION_COUNT];
    bool passphrase_named = false; // a key that reads "passphrase..." in any case
    // Old route files paired a "passphrase" without a value with the next token:
    // that key may be the secret, and is not named.
    bool hide_next_key = false;
    std::vector<std::pair<int, std::string>> problems; // verdict, text
};

static void add_problem(query_scan_t &scan, int verdict, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static void add_problem(query_scan_t &scan, int verdict, const char *format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    scan.problems.emplace_back(verdict, text);
}

static bool starts_without_case(const std::string &text, const char *prefix)
{
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// Text of the URL for a reason: printable ASCII kept, any other byte as '?', cut
// to max characters with "..." (a reason goes into JSON and logs whole).
static std::string printable(const std::string &text, size_t max)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; i++)
        out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
    return text.size() > max ? out + "..." : out;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The escapes of what separates or escapes in a query: %26 '&', %3D '=',
// %23 '#', %25 '%'. Any other '%' stays as it is, so a stored value without
// these reads as before. One pass: "%2526" is "%26".
static std::string decode_value(const std::string &raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 &&
            hex_digit(raw[i + 2]) >= 0) {
            char c = (char)(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
            if (c == '&' || c == '=' || c == '#' || c == '%') {
                out += c;
                i += 2;
                continue;
            }
        }
        out += raw[i];
    }
    return out;
}

// One "key=value" option of the query (no '&' in it, not empty).
static void scan_option(const std::string &option, query_scan_t &scan)
{
    size_t equals = option.find('=');
    std::string key = option.substr(0, equals);
    bool hide_key = scan.hide_next_key;
    scan.hide_next_key =
        starts_without_case(key, "passphrase") &&
        (equals == std::string::npos || equals + 1 == option.size() || option[equals + 1] == '=');
    int known = -1;
    for (int i = 0; i < OPTION_COUNT; i++)
        if (key == options_known[i].name)
            known = i;
    if (starts_without_case(key, "passphrase")) {
        scan.passphrase_named = true;
        if (known != OPTION_PASSPHRASE) {
            // Not echoed: the rest of such a key may well be the secret.
            add_problem(scan, URL_LENIENT, "the passphrase must be given as passphrase=VALUE");
            return;
        }
    }
    const char *name = known >= 0 ? options_known[known].name : nullptr;
    if (known < 0) {
        add_problem(scan, URL_LENIENT, "unknown option %s",
                    hide_key ? "after passphrase (not shown)" : printable(key, 40).c_str());
        return;
    }
    if (equals == std::string::npos || equals + 1 == option.size()) {
        add_problem(scan, URL_LENIENT, "option %s has no value", name);
        if (equals == std::string::npos)
            return;
    }
    std::string raw = option.substr(equals + 1);
    size_t cut = raw.find('=');
    if (cut != std::string::npos) {
        add_problem(scan, URL_LENIENT, "the value of %s holds '=': write it as %%3D", name);
        raw.resize(cut);
    }
    if (scan.given[known]) {
        add_problem(scan, URL_LENIENT, "option %s is given twice: the first counts", name);
        return;
    }
    scan.given[known] = true;
    scan.value[known] = decode_value(raw);
}

// Splits the query at '&' (empty options skipped) and scans each option.
static void scan_query(const char *query, query_scan_t &scan)
{
    const char *at = query;
    while (*at != '\0') {
        const char *end = strchr(at, '&');
        size_t length = end != nullptr ? (size_t)(end - at) : strlen(at);
        if (length > 0)
            scan_option(std::string(at, length), scan);
        at += length;
        if (*at == '&')
            at++;
    }
}

// The query of url (after the first '?' past "://"), or nullptr.
static const char *query_of(const char *rest)
{
    const char *question = strchr(rest, '?');
    return question != nullptr ? question + 1 : nullptr;
}

static int32_t failover_within_bounds(long long ms)
{
    if (ms <= 0)
        return 0;
    if (ms < FAILOVER_MIN_MS)
        return FAILOVER_MIN_MS;
    return ms > FAILOVER_MAX_MS ? FAILOVER_MAX_MS : (int32_t)ms;
}

// The authority's host, family and port, read as they always were (a port as
// atoi reads it, a host cut to 31 characters).
static void read_authority(endpoint_url_t &endpoint, const char *rest)
{
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
                     (int)(colon - rest < ENDPOINT_HOST_MAX_CHARS ? colon - rest
                                                                  : ENDPOINT_HOST_MAX_CHARS),
                     rest);
        endpoint.port = atoi(colon + 1);
    } else {
        size_t host_len = question != nullptr ? (size_t)(question - rest) : strlen(rest);
        snprintf(endpoint.host, sizeof endpoint.host, "%.*s",
                 (int)(host_len < ENDPOINT_HOST_MAX_CHARS ? host_len : ENDPOINT_HOST_MAX_CHARS),
                 rest);
        endpoint.port = 80;
    }
}

static const char *value_or_null(const query_scan_t &scan, int option)
{
    return scan.given[option] ? scan.value[option].c_str() : nullptr;
}

int parse_endpoint_url(endpoint_url_t &endpoint, const char *url)
{
    const char *scheme_end = strstr(url, "://");
    if (scheme_end == nullptr) {
        console_printf("Invalid URL: No scheme found.\n");
        return -1;
    }
    if (is_recording_url(url)) {
        // A recording target: a folder, no host, port or SRT option.
        endpoint_url_t blank = {};
        blank.enabled = endpoint.enabled;
        blank.mode = endpoint.mode;
        memcpy(blank.url, endpoint.url, sizeof blank.url);
        endpoint = blank;
        endpoint.family = AF_INET;
        return 0;
    }
    const char *rest = scheme_end + 3;
    read_authority(endpoint, rest);

    query_scan_t scan;
    const char *query = query_of(rest);
    // A query of one character holds no option.
    if (query != nullptr && strlen(query) > 1)
        scan_query(query, scan);
    const char *port = value_or_null(scan, OPTION_PORT);
    const char *maxbw = value_or_null(scan, OPTION_MAXBW);
    const char *pbkeylen = value_or_null(scan, OPTION_PBKEYLEN);
    const char *sourcetime = value_or_null(scan, OPTION_SOURCETIME);
    const char *failover = value_or_null(scan, OPTION_FAILOVER);

    endpoint.r_local_port =
        (port != nullptr && endpoint.mode == CONN_MODE_RENDEZVOUS) ? atoi(port) : 0;
    snprintf(endpoint.streamid, sizeof endpoint.streamid, "%s",
             scan.value[OPTION_STREAMID].c_str());
    endpoint.latency = scan.given[OPTION_LATENCY] ? atoll(scan.value[OPTION_LATENCY].c_str()) : 0;
    endpoint.maxbw = maxbw != nullptr ? atoll(maxbw) : 0;
    snprintf(endpoint.passphrase, sizeof endpoint.passphrase, "%.98s",
             scan.value[OPTION_PASSPHRASE].c_str());
    endpoint.pbkeylen = pbkeylen != nullptr ? atoi(pbkeylen) : 0;
    endpoint.sourcetime = sourcetime != nullptr && atoi(sourcetime) == 1 ? 1 : 0;
    endpoint.failover_ms = failover != nullptr ? failover_within_bounds(atoll(failover)) : 0;
    endpoint.kmrefreshrate =
        scan.given[OPTION_KMREFRESHRATE] ? atoi(scan.value[OPTION_KMREFRESHRATE].c_str()) : 0;
    endpoint.kmpreannounce =
        scan.given[OPTION_KMPREANNOUNCE] ? atoi(scan.value[OPTION_KMPREANNOUNCE].c_str()) : 0;
    parse_udp_options(endpoint.udp, url);
    // A list that does not parse admits nobody rather than everybody.
    endpoint.allow.count = 0;
    if (scan.given[OPTION_ALLOW] &&
        parse_allow_list(scan.value[OPTION_ALLOW].c_str(), endpoint.allow) != 0) {
        endpoint.allow.count = 1;
        endpoint.allow.blocks[0] = {AF_UNSPEC, {}, 0};
    }
    long long maxcallers =
        scan.given[OPTION_MAXCALLERS] ? atoll(scan.value[OPTION_MAXCALLERS].c_str()) : 0;
    endpoint.maxcallers = maxcallers > 0 && maxcallers <= MAXCALLERS_MAX ? (int32_t)maxcallers : 0;

    console_printf("%s, %llu, %s, %s, %s\n", endpoint.streamid,
                   (unsigned long long)endpoint.latency, maxbw != nullptr ? maxbw : "",
                   scan.given[OPTION_PASSPHRASE] ? PASSPHRASE_MASK : "",
                   pbkeylen != nullptr ? pbkeylen : "");
    return 0;
}

// A whole decimal integer within [low, high]: an optional '-' and digits only.
static bool integer_within(const std::string &text, long long low, long long high, long long *out)
{
    const char *digits = text.c_str() + (text[0] == '-' ? 1 : 0);
    if (digits[0] == '\0' || strspn(digits, "0123456789") != strlen(digits))
        return false;
    errno = 0;
    long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < low || value > high)
        return false;
    *out = value;
    return true;
}

// A port as digits only, within 0..65535 (1..65535 unless zero_allowed).
static bool port_text_valid(const std::string &text, bool zero_allowed)
{
    long long port = 0;
    return text.size() <= 5 && text[0] != '-' &&
           integer_within(text, zero_allowed ? 0 : 1, 65535, &port);
}

// The authority (up to the first '?'): an empty host, a name or IPv4 of at most
// 31 characters, or a bracketed IPv6 literal, then nothing or ':' and a port.
static void check_authority(const std::string &authority, conn_mode_t mode, query_scan_t &scan)
{
    if (authority.empty()) {
        add_problem(scan, URL_REFUSED, "url names neither host nor port");
        return;
    }
    std::string port_part;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) {
            add_problem(scan, URL_REFUSED, "host: '[' without ']'");
            return;
        }
        std::string literal = authority.substr(1, close - 1);
        struct in6_addr address;
        if (literal.size() >= ENDPOINT_HOST_SIZE ||
            inet_pton(AF_INET6, literal.c_str(), &address) != 1) {
            add_problem(scan, URL_REFUSED, "host [%s] is not an IPv6 address",
                        printable(mask_passphrases(literal.c_str()), 46).c_str());
            return;
        }
        port_part = authority.substr(close + 1);
    } else {
        size_t colon = authority.find(':');
        std::string host = authority.substr(0, colon);
        size_t good = strspn(host.c_str(),
                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_");
        if (good != host.size()) {
            add_problem(scan, URL_REFUSED, "host \"%s\" is not a host name or address",
                        printable(mask_passphrases(host.c_str()), 40).c_str());
            return;
        }
        if (host.size() > ENDPOINT_HOST_MAX_CHARS)
            add_problem(scan, URL_LENIENT, "host is longer than %d characters",
                        ENDPOINT_HOST_MAX_CHARS);
        port_part = colon != std::string::npos ? authority.substr(colon) : "";
    }
    if (port_part.empty())
        return; // port 80
    if (port_part[0] != ':' || !port_text_valid(port_part.substr(1), mode == CONN_MODE_LISTEN))
        add_problem(
            scan, URL_REFUSED, "port \"%s\" is not a number from %d to 65535",
            printable(mask_passphrases(port_part.c_str() + (port_part[0] == ':')), 12).c_str(),
            mode == CONN_MODE_LISTEN ? 0 : 1);
}

// "allow" and "maxcallers": refused when malformed, since a caller could get in
// that the operator meant to keep out; they mean nothing for a calling endpoint.
static void check_caller_options(query_scan_t &scan, conn_mode_t mode)
{
    allow_list_t allow;
    if (scan.given[OPTION_ALLOW] && parse_allow_list(scan.value[OPTION_ALLOW].c_str(), allow) != 0)
        add_problem(scan, URL_REFUSED,
                    "allow must be up to %d address blocks (address or address/bits) joined by +",
                    ALLOW_BLOCKS_MAX);
    long long maxcallers = 0;
    if (scan.given[OPTION_MAXCALLERS] &&
        !integer_within(scan.value[OPTION_MAXCALLERS], 1, MAXCALLERS_MAX, &maxcallers))
        add_problem(scan, URL_REFUSED, "maxcallers must be a whole number from 1 to %d",
                    MAXCALLERS_MAX);
    for (int option : {OPTION_ALLOW, OPTION_MAXCALLERS})
        if (scan.given[option] && mode != CONN_MODE_LISTEN)
            add_problem(scan, URL_LENIENT, "%s applies to a listening endpoint only",
                        options_known[option].name);
}

// The values of the options given, each against what it must be.
static void check_values(query_scan_t &scan, conn_mode_t mode)
{
    query_scan_t &found = scan;
    long long numbers[OPTION_COUNT] = {};
    for (int i = 0; i < OPTION_COUNT; i++) {
        if (!scan.given[i] || options_known[i].kind != OPTION_INTEGER || scan.value[i].empty() ||
            i == OPTION_MAXCALLERS)
            continue;
        if (!integer_within(
                scan.value[i], i == OPTION_LATENCY || i == OPTION_MAXBW ? INT64_MIN : INT32_MIN,
                i == OPTION_LATENCY || i == OPTION_MAXBW ? INT64_MAX : INT32_MAX, &numbers[i]))
            add_problem(
                found, i == OPTION_PORT && mode == CONN_MODE_RENDEZVOUS ? URL_REFUSED : URL_LENIENT,
                "the value of %s is not a whole number", options_known[i].name);
    }
    if (mode == CONN_MODE_RENDEZVOUS && scan.given[OPTION_PORT] &&
        (numbers[OPTION_PORT] < 0 || numbers[OPTION_PORT] > 65535))
        add_problem(found, URL_REFUSED, "port option is not a number from 0 to 65535");
    if (scan.value[OPTION_STREAMID].size() > ENDPOINT_STREAMID_MAX)
        add_problem(found, URL_REFUSED, "the stream id is longer than %d bytes",
                    ENDPOINT_STREAMID_MAX);
    size_t passphrase = scan.value[OPTION_PASSPHRASE].size();
    if (scan.passphrase_named &&
        (passphrase < PASSPHRASE_MIN_CHARS || passphrase > PASSPHRASE_MAX_CHARS))
        add_problem(found, URL_REFUSED, "the passphrase must be %d to %d characters",
                    PASSPHRASE_MIN_CHARS, PASSPHRASE_MAX_CHARS);
    long long pbkeylen = numbers[OPTION_PBKEYLEN];
    if (pbkeylen != 0 && pbkeylen != 16 && pbkeylen != 24 && pbkeylen != 32)
        add_problem(found, URL_LENIENT, "pbkeylen must be 16, 24 or 32");
    if (numbers[OPTION_LATENCY] < 0)
        add_problem(found, URL_LENIENT, "latency must be 0 or more");
    if (numbers[OPTION_SOURCETIME] != 0 && numbers[OPTION_SOURCETIME] != 1)
        add_problem(found, URL_LENIENT, "sourcetime must be 0 or 1");
    check_caller_options(scan, mode);
    long long refresh = numbers[OPTION_KMREFRESHRATE];
    long long preannounce = numbers[OPTION_KMPREANNOUNCE];
    if (refresh < 0)
        add_problem(found, URL_LENIENT, "kmrefreshrate must be 0 or more");
    long long effective = refresh > 0 ? refresh : KM_REFRESH_RATE_DEFAULT;
    if (preannounce < 0 || preannounce > (effective - 1) / 2)
        add_problem(found, URL_LENIENT,
                    "kmpreannounce must be from 0 to %lld (half of kmrefreshrate)",
                    (effective - 1) / 2);
}

int check_endpoint_url(const char *url, conn_mode_t mode, char *reason, size_t size)
{
    if (size > 0)
        reason[0] = '\0';
    const char *scheme_end = strstr(url, "://");
    if (scheme_end == nullptr) {
        snprintf(reason, size, "No scheme found.");
        return URL_REFUSED;
    }
    if (is_recording_url(url)) {
        recording_settings_t settings;
        return parse_recording_url(url, settings, reason, size) == 0 ? URL_OK : URL_REFUSED;
    }
    if (is_udp_url(url))
        return check_udp_url(url, mode, reason, size);
    query_scan_t scan;
    if (strlen(url) >= ENDPOINT_URL_SIZE)
        add_problem(scan, URL_REFUSED, "url is longer than %d characters", ENDPOINT_URL_SIZE - 1);
    const char *rest = scheme_end + 3;
    const char *query = query_of(rest);
    check_authority(query != nullptr ? std::string(rest, (size_t)(query - 1 - rest)) : rest, mode,
                    scan);
    if (query != nullptr)
        scan_query(query, scan);
    check_values(scan, mode);

    int verdict = URL_OK;
    for (const auto &problem : scan.problems)
        verdict = problem.first > verdict ? problem.first : verdict;
    size_t used = 0;
    for (int pass = URL_REFUSED; pass >= URL_LENIENT; pass--)
        for (const auto &problem : scan.problems) {
            if (problem.first != pass || used >= size)
                continue;
            int wrote = snprintf(reason + used, size - used, "%s%s", used > 0 ? "; " : "",
                                 problem.second.c_str());
            used = wrote > 0 ? used + (size_t)wrote : used;
        }
    return verdict;
}

static bool is_query_separator(char c)
{
    return c == '&' || c == '=';
}

// Length of the separator that follows "passphrase" at text: '=' or "%3D" (any case), else 0.
static size_t equals_at(const std::string &text, size_t at)
{
    if (at < text.size() && text[at] == '=')
        return 1;
    if (text.compare(at, 3, "%3D") == 0 || text.compare(at, 3, "%3d") == 0)
        return 3;
    return 0;
}

std::string mask_passphrases(const char *url)
{
    static const char key[] = "passphrase";
    const size_t key_length = sizeof key - 1;
    std::string out(url);
    size_t at = 0;
    for (;;) {
        const char *found = strcasestr(out.c_str() + at, key);
        if (found == nullptr)
            break;
        size_t start = (size_t)(found - out.c_str());
        size_t after = start + key_length;
        size_t equals = equals_at(out, after);
        size_t value = after + equals;
        size_t end = value;
        bool option_start = start == 0 || out[start - 1] == '?' || out[start - 1] == '&';
        if (equals > 0 && value < out.size() && !is_query_separator(out[value])) {
            // "passphrase=VALUE": the value runs to the next '&'.
            end = out.find('&', value);
            end = end == std::string::npos ? out.size() : end;
        } else if (option_start && after < out.size() && is_query_separator(out[after])) {
            // An option "passphrase" followed by "&", "==" or "=&": the token after
            // the run, as old route files paired them.
            value = after;
            while (value < out.size() && is_query_separator(out[value]))
                value++;
            end = value;
            while (end < out.size() && !is_query_separator(out[end]))
                end++;
            // A "passphrase" in that token is looked at on its own next.
            const char *inner = strcasestr(out.c_str() + value, key);
            if (inner != nullptr && (size_t)(inner - out.c_str()) < end)
                end = (size_t)(inner - out.c_str());
        }
        if (end > value) {
            out.replace(value, end - value, PASSPHRASE_MASK);
            end = value + strlen(PASSPHRASE_MASK);
        }
        at = end > after ? end : after;
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
