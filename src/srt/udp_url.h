// The udp:// endpoint: its options, and the check of its URLs.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An interface or source address as text: an IPv4 or IPv6 literal.
#define UDP_ADDRESS_SIZE 48

// What a udp:// URL adds to an endpoint. A source (mode listen) receives on its
// port, joined to its group when the host is a multicast address; a target
// (mode push) sends each message as one datagram to its address.
struct udp_options_t {
    uint8_t udp;                   // 1: the URL's scheme is udp://
    char iface[UDP_ADDRESS_SIZE];  // "iface": local address to join or send on
    char source[UDP_ADDRESS_SIZE]; // "source": the one sender of a source-specific join
    int32_t rcvbuf;                // "rcvbuf" bytes; 0: the relay's default
    int32_t sndbuf;                // "sndbuf" bytes; 0: the system's default
    int32_t ttl;                   // "ttl" 1..255; 0: 1
    int32_t tos;                   // "tos" 0..255; -1: not set
    int32_t standby_port;          // "standby": SRT port of standby publishers; 0: none
};

// True when url's scheme is udp (any case).
bool is_udp_url(const char *url);

// Fills the options from url (all cleared, tos -1, for another scheme). Lenient:
// a value that does not parse is left unset. Prints nothing.
void parse_udp_options(udp_options_t &options, const char *url);

/*
 * Checks a udp:// URL for an endpoint in mode (a conn_mode_t): listen (a
 * source) or caller (a target); rendezvous is refused. The host is a numeric
 * IPv4 or bracketed IPv6 address (a source may leave it empty), the port
 * 1..65535, every option known for the side, given once, with a value of its
 * kind and range. Every problem refuses (URL_REFUSED, "; "-joined in reason);
 * a clean URL is URL_OK. O(length).
 */
int check_udp_url(const char *url, uint8_t mode, char *reason, size_t size);

// Why a udp:// url may not serve that side in mode (a source listens, a target
// pushes), or nullptr when it may or url is not udp://.
const char *udp_side_refusal(const char *url, uint8_t mode, bool target);
