// Who may call a listening endpoint: the address blocks of its "allow" option.
#include "srt/caller_policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// One block "address[/prefix]" of length characters at text.
static int parse_block(const char *text, size_t length, address_block_t &block)
{
    char address[64];
    if (length == 0 || length >= sizeof address)
        return -1;
    snprintf(address, sizeof address, "%.*s", (int)length, text);
    char *slash = strchr(address, '/');
    int prefix = -1;
    if (slash != nullptr) {
        *slash = '\0';
        const char *digits = slash + 1;
        if (digits[0] == '\0' || strlen(digits) > 3 ||
            strspn(digits, "0123456789") != strlen(digits))
            return -1;
        prefix = atoi(digits);
    }
    memset(&block, 0, sizeof block);
    if (inet_pton(AF_INET, address, block.bytes) == 1)
        block.family = AF_INET;
    else if (inet_pton(AF_INET6, address, block.bytes) == 1)
        block.family = AF_INET6;
    else
        return -1;
    int bits = block.family == AF_INET ? 32 : 128;
    if (prefix > bits)
        return -1;
    block.prefix = prefix < 0 ? bits : prefix;
    return 0;
}

int parse_allow_list(const char *text, allow_list_t &list)
{
    list.count = 0;
    const char *at = text;
    for (;;) {
        size_t length = strcspn(at, "+ ");
        if (list.count == ALLOW_BLOCKS_MAX ||
            parse_block(at, length, list.blocks[list.count]) != 0) {
            list.count = 0;
            return -1;
        }
        list.count++;
        if (at[length] == '\0')
            return 0;
        at += length + 1;
    }
}

// The first prefix bits of a and b agree.
static bool prefix_matches(const uint8_t *a, const uint8_t *b, int prefix)
{
    int whole = prefix / 8;
    if (memcmp(a, b, (size_t)whole) != 0)
        return false;
    int rest = prefix % 8;
    if (rest == 0)
        return true;
    uint8_t mask = (uint8_t)(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

bool address_allowed(const allow_list_t &list, const struct sockaddr *peer)
{
    if (list.count == 0)
        return true;
    if (peer == nullptr)
        return false;
    int family = peer->sa_family;
    const uint8_t *address = nullptr;
    if (family == AF_INET) {
        address = (const uint8_t *)&((const struct sockaddr_in *)peer)->sin_addr;
    } else if (family == AF_INET6) {
        const struct in6_addr *v6 = &((const struct sockaddr_in6 *)peer)->sin6_addr;
        address = (const uint8_t *)v6;
        if (IN6_IS_ADDR_V4MAPPED(v6)) {
            family = AF_INET;
            address += 12;
        }
    } else {
        return false;
    }
    for (int i = 0; i < list.count; i++) {
        const address_block_t &block = list.blocks[i];
        if (block.family == family && prefix_matches(block.bytes, address, block.prefix))
            return true;
    }
    return false;
}
