// The endpoint record and the parsing of srt://host:port?options URLs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

typedef uint8_t conn_mode_t;
enum : conn_mode_t {
    CONN_MODE_LISTEN = 0,
    CONN_MODE_CALLER = 1, // "pull" for a source, "push" for a target
    CONN_MODE_RENDEZVOUS = 2,
};

// Large enough for the longest URL the control API can pass (a query fragment
// is at most 255 characters), so a URL is always kept whole.
#define ENDPOINT_URL_SIZE 256

// An unbracketed host is cut to 31 characters; a bracketed IPv6 literal is kept whole.
#define ENDPOINT_HOST_SIZE 48

struct endpoint_url_t {
    uint8_t enabled;
    conn_mode_t mode;
    char host[ENDPOINT_HOST_SIZE]; // an IPv6 literal without its brackets
    // AF_INET, or AF_INET6 for a host written as a bracketed IPv6 literal ("[::1]").
    int family;
    int32_t port;
    int32_t r_local_port;
    int32_t pbkeylen;
    int64_t latency;
    int64_t maxbw;
    char passphrase[100];
    char streamid[100];
    char url[ENDPOINT_URL_SIZE];
    // Target: each message is sent with its origin time (query "sourcetime=1").
    uint8_t sourcetime;
    // Source: how long the active connection may deliver nothing before a standby
    // that delivers takes over (query "failover"); 0 keeps the active one.
    int32_t failover_ms;
};

// Bounds of "failover": a value between 1 and 99 counts as the lower one, a larger
// one as the upper; 0 or less switches failover off.
#define FAILOVER_MIN_MS 100
#define FAILOVER_MAX_MS 60000

// Fills host, family, port, r_local_port and the options from url; reads mode,
// never touches enabled, mode or url. Every option field is set on every successful
// parse. Returns 0, or -1 (record unchanged) when url has no "://".
int parse_endpoint_url(endpoint_url_t &endpoint, const char *url);

// Printed where a passphrase value would stand: secrets never reach the console or logs.
#define PASSPHRASE_MASK "****"

// One URL with the value of every "passphrase" key, paired as the parser pairs
// them, replaced by PASSPHRASE_MASK, for printing and logging.
std::string mask_passphrases(const char *url);

// Mode names of the route document and the HTTP interface; nullptr for an unknown code.
const char *source_mode_name(conn_mode_t mode);
const char *target_mode_name(conn_mode_t mode);
