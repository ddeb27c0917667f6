// Who may call a listening endpoint: the address blocks of its "allow" option.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

// Blocks one "allow" list may hold; a longer list is refused at the API.
#define ALLOW_BLOCKS_MAX 64

struct address_block_t {
    int family;        // AF_INET or AF_INET6
    uint8_t bytes[16]; // the network, 4 bytes used for AF_INET
    int prefix;        // leading bits that must match
};

// count 0: no list, every address may call.
struct allow_list_t {
    int count;
    address_block_t blocks[ALLOW_BLOCKS_MAX];
};

/*
 * Reads "10.0.0.0/8+2001:db8::/32+127.0.0.1" into list: blocks separated by '+'
 * (or ' ', which a '+' becomes in a decoded query), each an IPv4 or IPv6
 * address with an optional /prefix (32 or 128 when absent). Bits of the
 * address past the prefix are ignored. Returns 0, or -1 (list emptied) for an
 * empty list, an empty block, a bad address or prefix, or more than
 * ALLOW_BLOCKS_MAX blocks. O(length).
 */
int parse_allow_list(const char *text, allow_list_t &list);

/*
 * True when peer may call: the list is empty, or a block of the peer's family
 * holds its address. An IPv4 caller on an IPv6 port (::ffff:a.b.c.d) is
 * matched against the IPv4 blocks. O(blocks).
 */
bool address_allowed(const allow_list_t &list, const struct sockaddr *peer);
