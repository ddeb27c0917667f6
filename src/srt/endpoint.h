// The endpoint record and the parsing of srt://host:port?options URLs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "srt/caller_policy.h"
#include "srt/udp_url.h"

typedef uint8_t conn_mode_t;
enum : conn_mode_t {
    CONN_MODE_LISTEN = 0,
    CONN_MODE_CALLER = 1, // "pull" for a source, "push" for a target
    CONN_MODE_RENDEZVOUS = 2,
};

// The longest URL kept is 2047 characters; a longer one is refused, never cut
// (check_endpoint_url at the API, the route file's load at start).
#define ENDPOINT_URL_SIZE 2048

// An unbracketed host is cut to 31 characters; a bracketed IPv6 literal is kept whole.
#define ENDPOINT_HOST_SIZE 48
#define ENDPOINT_HOST_MAX_CHARS 31

// libsrt's own limit: a stream id of up to 512 bytes travels in the handshake.
#define ENDPOINT_STREAMID_MAX 512
#define ENDPOINT_STREAMID_SIZE (ENDPOINT_STREAMID_MAX + 1)

// libsrt takes a passphrase of 10 to 79 characters and ignores any other, which
// would leave the endpoint unencrypted: any other length is refused.
#define PASSPHRASE_MIN_CHARS 10
#define PASSPHRASE_MAX_CHARS 79
#define ENDPOINT_PASSPHRASE_SIZE 100

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
    char passphrase[ENDPOINT_PASSPHRASE_SIZE];
    char streamid[ENDPOINT_STREAMID_SIZE]; // percent-decoded (%26 %3D %23 %25)
    char url[ENDPOINT_URL_SIZE];
    // Target: each message is sent with its origin time (query "sourcetime=1").
    uint8_t sourcetime;
    // Source: how long the active connection may deliver nothing before a standby
    // that delivers takes over (query "failover"); 0 keeps the active one.
    int32_t failover_ms;
    // Key refresh of an encrypted connection, in packets (queries "kmrefreshrate",
    // "kmpreannounce"); 0 leaves libsrt's default.
    int32_t kmrefreshrate;
    int32_t kmpreannounce;
    // Listening endpoint: the addresses that may call (query "allow"; empty: any)
    // and the most callers connected at once (query "maxcallers"; 0: no limit).
    allow_list_t allow;
    int32_t maxcallers;
    // The options of a udp:// endpoint (udp.udp is 0 for srt://).
    udp_options_t udp;
};

// Bounds of "maxcallers".
#define MAXCALLERS_MAX 100000

// Bounds of "failover": a value between 1 and 99 counts as the lower one, a larger
// one as the upper; 0 or less switches failover off.
#define FAILOVER_MIN_MS 100
#define FAILOVER_MAX_MS 60000

/*
 * Fills host, family, port, r_local_port and the options from url; reads mode,
 * never touches enabled, mode or url. Every option field is set on every
 * successful parse. The query is split at '&' into options, each at its first
 * '=' into key and value; a value ends at a further '=' (as stored files have
 * always been read) and is percent-decoded for %26 %3D %23 %25 only. Keys are
 * exact; the first value of a key counts. Lenient: what check_endpoint_url
 * finds wrong is read as best it can be. Prints one trace line. Returns 0, or
 * -1 (record unchanged) when url has no "://".
 */
int parse_endpoint_url(endpoint_url_t &endpoint, const char *url);

// What check_endpoint_url thinks of a URL.
enum url_verdict_t {
    URL_OK = 0,
    // Read as it always was (an unknown option, a value cut at '=', a number
    // with trailing text...): refused at the API, loaded from a stored file.
    URL_LENIENT = 1,
    // Would listen or call somewhere else, cut the stream id, or leave a
    // passphrase unused: refused at the API, and left off when stored.
    URL_REFUSED = 2,
};

/*
 * Checks a URL for an endpoint in mode: the host and port parse (an empty host,
 * a name or IPv4 of at most 31 characters, or a bracketed IPv6 literal; no port
 * or 0..65535, 0 for listen only), the URL is at most ENDPOINT_URL_SIZE - 1
 * characters, every option is known and given once with a value of its kind,
 * the stream id is at most 512 bytes, a passphrase named is 10 to 79
 * characters. Returns the verdict of the worst problem found, with every
 * problem in reason ("; "-joined, the refusing ones first; "" for URL_OK). The
 * reason names options, never their values. Prints nothing. O(length).
 */
int check_endpoint_url(const char *url, conn_mode_t mode, char *reason, size_t size);

// Printed where a passphrase value would stand: secrets never reach the console or logs.
#define PASSPHRASE_MASK "****"

/*
 * The text with the value of every "passphrase=" (any case; "=" also as %3D)
 * replaced by PASSPHRASE_MASK, whatever precedes it: the value runs to the next
 * '&'. A "passphrase" key followed by another separator run ("&", "==", "=&")
 * masks the token after it, as old route files paired them. The one masking
 * function for every URL that is printed or logged. O(length).
 */
std::string mask_passphrases(const char *url);

// Mode names of the route document and the HTTP interface; nullptr for an unknown code.
const char *source_mode_name(conn_mode_t mode);
const char *target_mode_name(conn_mode_t mode);
