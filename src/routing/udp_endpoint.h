// udp:// endpoints of a route: a UDP source read by the event loop, UDP targets in the fan-out.
#pragma once

#include "routing/registry.h"

/*
 * A UDP endpoint is listed as one connection of its side, so the statistics,
 * the connections view and the metrics see it like an SRT one. Its id is
 * UDP_SOCK_BASE + the socket's descriptor: libsrt never gives out an id that
 * high, so a libsrt call made on it fails harmlessly.
 */
#define UDP_SOCK_BASE (1 << 30)

inline bool is_udp_sock(int sock)
{
    return sock >= UDP_SOCK_BASE;
}

// Whether the endpoint (target nullptr: the source) has its UDP socket listed.
// Caller holds route.lock or route.list_lock.
bool udp_endpoint_listed(const route_t &route, const target_t *target);

/*
 * Opens a udp:// endpoint: the source's socket bound to its port (joined to its
 * group, any-source or source-specific) and watched by the loop, with its SRT
 * standby port when it names one; a target's socket connected to its address.
 * The socket is listed as the endpoint's one connection. Returns an
 * open_result_t (connections.h); last_socket_error tells why it failed.
 * Caller holds route.lock.
 */
int open_udp_endpoint(route_t &route, target_t *target);

// Closes a listed socket of any kind: libsrt's, or a UDP one by its descriptor.
void close_route_socket(int sock);

/*
 * The loop's handler for a readable UDP source: up to a batch of datagrams in
 * one recvmmsg, each cut at 188-byte packets into messages of at most 1316
 * bytes, each message delivered as an SRT source's would be (active source,
 * failover, fan-out). Counts datagrams and those not a whole number of
 * packets. Returns true when the batch was full, so more may be waiting.
 * Cost: one system call and O(messages x target connections) sends; no
 * allocation, no log. Event loop thread only.
 */
bool read_udp_source(route_t &route, int sock);

/*
 * Sends one message as one datagram on each UDP connection of target, never
 * waiting: a full socket buffer drops it, counted on the connection. Caller
 * holds route.list_lock (the fan-out). O(connections).
 */
void send_udp_message(target_t &target, const char *message, int length);
