// The udp:// endpoint: the options of its URL and their check.
#include "srt/udp_url.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <string>

#include "srt/endpoint.h"

enum udp_option_t {
    UDP_IFACE,
    UDP_SOURCE,
    UDP_RCVBUF,
    UDP_SNDBUF,
    UDP_TTL,
    UDP_TOS,
    UDP_FAILOVER,
    UDP_STANDBY,
    UDP_OPTION_COUNT,
};

// Each option: its name, the side that takes it, the range of a number (an
// address when low > high).
static const struct {
    const char *name;
    bool source, target;
    long long low, high;
} udp_options_known[UDP_OPTION_COUNT] = {
    {"iface", true, true, 1, 0},
    {"source", true, false, 1, 0},
    {"rcvbuf", true, false, 1024, 256 * 1024 * 1024},
    {"sndbuf", false, true, 1024, 256 * 1024 * 1024},
    {"ttl", false, true, 1, 255},
    {"tos", false, true, 0, 255},
    {"failover", true, false, INT32_MIN, INT32_MAX},
    {"standby", true, false, 1, 65535},
};

bool is_udp_url(const char *url)
{
    return strncasecmp(url, "udp://", 6) == 0;
}

// The first value of each option in url's query; false for an option not given.
struct udp_query_t {
    bool given[UDP_OPTION_COUNT] = {};
    std::string value[UDP_OPTION_COUNT];
};

static int udp_option_index(const std::string &key)
{
    for (int i = 0; i < UDP_OPTION_COUNT; i++)
        if (key == udp_options_known[i].name)
            return i;
    return -1;
}

// Calls each(key, has_value, value) for every non-empty '&'-separated option.
template <typename each_t> static void walk_query(const char *url, each_t each)
{
    const char *question = strchr(url, '?');
    if (question == nullptr)
        return;
    std::string query(question + 1);
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        std::string option = query.substr(at, end - at);
        if (!option.empty()) {
            size_t equals = option.find('=');
            each(option.substr(0, equals), equals != std::string::npos,
                 equals != std::string::npos ? option.substr(equals + 1) : std::string());
        }
        at = end + 1;
    }
}

// A whole decimal number within [low, high].
static bool number_within(const std::string &text, long long low, long long high, long long *out)
{
    const char *digits = text.c_str() + (text[0] == '-' ? 1 : 0);
    if (digits[0] == '\0' || strlen(digits) > 12 || strspn(digits, "0123456789") != strlen(digits))
        return false;
    long long value = strtoll(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

// The family of a numeric address (AF_INET or AF_INET6), or 0.
static int address_family(const char *text, void *address)
{
    unsigned char scratch[sizeof(struct in6_addr)];
    void *into = address != nullptr ? address : scratch;
    if (inet_pton(AF_INET, text, into) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text, into) == 1)
        return AF_INET6;
    return 0;
}

void parse_udp_options(udp_options_t &options, const char *url)
{
    options = udp_options_t{};
    options.tos = -1;
    if (!is_udp_url(url))
        return;
    options.udp = 1;
    udp_query_t query;
    walk_query(url, [&](const std::string &key, bool, const std::string &value) {
        int known = udp_option_index(key);
        if (known >= 0 && !query.given[known]) {
            query.given[known] = true;
            query.value[known] = value;
        }
    });
    snprintf(options.iface, sizeof options.iface, "%s", query.value[UDP_IFACE].c_str());
    snprintf(options.source, sizeof options.source, "%s", query.value[UDP_SOURCE].c_str());
    int32_t *numbers[UDP_OPTION_COUNT] = {
        nullptr,      nullptr,      &options.rcvbuf, &options.sndbuf,
        &options.ttl, &options.tos, nullptr,         &options.standby_port};
    for (int i = 0; i < UDP_OPTION_COUNT; i++) {
        long long value = 0;
        if (numbers[i] != nullptr && query.given[i] &&
            number_within(query.value[i], udp_options_known[i].low, udp_options_known[i].high,
                          &value))
            *numbers[i] = (int32_t)value;
    }
}

static void add_reason(std::string &reasons, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void add_reason(std::string &reasons, const char *format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!reasons.empty())
        reasons += "; ";
    reasons += text;
}

// Printable ASCII of a part of the URL for a reason, cut to 40 characters.
static std::string shown(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < 40; i++)
        out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
    return text.size() > 40 ? out + "..." : out;
}

static bool is_multicast(int family, const unsigned char *address)
{
    if (family == AF_INET)
        return (address[0] & 0xf0) == 0xe0;
    return family == AF_INET6 && address[0] == 0xff;
}

// The authority: host (empty, IPv4, or [IPv6]) and a port 1..65535. Sets the
// host's family (0 when empty) and whether it is a multicast group.
static void check_udp_authority(const std::string &authority, bool source, std::string &reasons,
                                int *family, bool *multicast)
{
    std::string host, port;
    size_t colon = authority.rfind(':');
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        host = close != std::string::npos ? authority.substr(1, close - 1) : authority;
        port = close != std::string::npos && close + 1 < authority.size() &&
                       authority[close + 1] == ':'
                   ? authority.substr(close + 2)
                   : "";
        if (close == std::string::npos || address_family(host.c_str(), nullptr) != AF_INET6)
            add_reason(reasons, "host %s is not an IPv6 address", shown(authority).c_str());
    } else {
        host = authority.substr(0, colon);
        port = colon != std::string::npos ? authority.substr(colon + 1) : "";
        if (!host.empty() && address_family(host.c_str(), nullptr) != AF_INET)
            add_reason(reasons, "host \"%s\" is not an IPv4 address or a bracketed IPv6 one",
                       shown(host).c_str());
    }
    unsigned char address[sizeof(struct in6_addr)] = {};
    *family = host.empty() ? 0 : address_family(host.c_str(), address);
    *multicast = is_multicast(*family, address);
    long long number = 0;
    if (!number_within(port, 1, 65535, &number) || port[0] == '-')
        add_reason(reasons, "port \"%s\" is not a number from 1 to 65535", shown(port).c_str());
    static const unsigned char any[sizeof(struct in6_addr)] = {};
    if (!source && (*family == 0 || memcmp(address, any, sizeof address) == 0))
        add_reason(reasons, "a udp target needs the address to send to");
}

int check_udp_url(const char *url, uint8_t mode, char *reason, size_t size)
{
    std::string reasons;
    if (strlen(url) >= ENDPOINT_URL_SIZE)
        add_reason(reasons, "url is longer than %d characters", ENDPOINT_URL_SIZE - 1);
    if (mode != CONN_MODE_LISTEN && mode != CONN_MODE_CALLER)
        add_reason(reasons, "udp:// takes mode listen for a source, push for a target");
    bool source = mode == CONN_MODE_LISTEN;
    const char *rest = url + 6;
    const char *question = strchr(rest, '?');
    std::string authority = question != nullptr ? std::string(rest, question) : std::string(rest);
    int family = 0;
    bool multicast = false;
    check_udp_authority(authority, source, reasons, &family, &multicast);

    udp_query_t query;
    walk_query(url, [&](const std::string &key, bool has_value, const std::string &value) {
        int known = udp_option_index(key);
        if (known < 0 ||
            !(source ? udp_options_known[known].source : udp_options_known[known].target)) {
            add_reason(reasons, "unknown option %s for a udp %s", shown(key).c_str(),
                       source ? "source" : "target");
            return;
        }
        const char *name = udp_options_known[known].name;
        if (query.given[known]) {
            add_reason(reasons, "option %s is given twice", name);
            return;
        }
        query.given[known] = true;
        query.value[known] = value;
        long long number = 0;
        if (!has_value || value.empty())
            add_reason(reasons, "option %s has no value", name);
        else if (udp_options_known[known].low > udp_options_known[known].high) {
            int option_family = address_family(value.c_str(), nullptr);
            if (option_family == 0)
                add_reason(reasons, "%s \"%s\" is not an IPv4 or IPv6 address", name,
                           shown(value).c_str());
            else if (option_family != (family != 0 ? family : AF_INET))
                add_reason(reasons, "%s is not of the host's address family", name);
        } else if (!number_within(value, udp_options_known[known].low,
                                  udp_options_known[known].high, &number)) {
            add_reason(reasons, "%s must be a whole number from %lld to %lld", name,
                       udp_options_known[known].low, udp_options_known[known].high);
        }
    });
    if (query.given[UDP_SOURCE] && !multicast)
        add_reason(reasons, "source= needs a multicast group as host");
    if (size > 0)
        snprintf(reason, size, "%s", reasons.c_str());
    return reasons.empty() ? URL_OK : URL_REFUSED;
}

const char *udp_side_refusal(const char *url, uint8_t mode, bool target)
{
    if (!is_udp_url(url))
        return nullptr;
    if (target && mode != CONN_MODE_CALLER)
        return "a udp:// target takes mode push";
    if (!target && mode != CONN_MODE_LISTEN)
        return "a udp:// source takes mode listen";
    return nullptr;
}
