// The connection side of a route: callers taken, sockets listed and dropped, redials; run by the event loop.
#pragma once

#include "routing/registry.h"

/*
 * Handlers of the event loop (routing/event_loop.h), each under route.lock and
 * only while the loop serves the route:
 * take_port_caller   lists a caller a port's listener accepted for the route
 *                    (or closes it). O(targets).
 * handle_route_socket a base socket or connection of the route's source
 *                    (target_id -1) or of a target reported writable or in
 *                    error: lists what connected, drops what broke, redials.
 *                    O(targets + connections of that side).
 * service_route      the route's timer: base sockets looked at, due redials
 *                    made. Returns when to look again (monotonic ms), or
 *                    UINT64_MAX when only an event needs it. O(targets).
 */
void take_port_caller(route_t &route, const handed_caller_t &caller);
void handle_route_socket(route_t &route, SRTSOCKET sock, int32_t target_id);
uint64_t service_route(route_t &route);

/*
 * Lists a connected socket on the route's conns (source_sock != -1) or the
 * target's conns (target_sock != -1), watched by the event loop, with its
 * details read from libsrt; an id already listed is left alone. Returns 0, or
 * -1 when the socket cannot be watched (nothing listed; the caller closes or
 * retries it). add_connection takes route.lock; the _locked forms expect the
 * caller to hold it.
 */
int add_connection(route_t *route, target_t *target, int source_sock, int target_sock);
int add_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock);
// Unlists a listed socket, adds its last figures to its side's totals, stops
// watching it, closes it and logs the disconnect. Returns true when it was
// listed; an unlisted socket is neither removed nor closed.
// reason names why in its event: "broken" (the default), "kicked".
bool remove_connection(route_t *route, target_t *target, int source_sock, int target_sock);
bool remove_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock,
                              const char *reason = "broken");

// Unlists and closes sock when it is a caller accepted on one of the route's
// listening endpoints; the listener may accept it again. A kicked publisher
// stops being the active source. Returns 0, or -1 when sock is no such
// connection (the relay's own calling sockets are not kicked). Caller holds
// route.lock.
int kick_connection_locked(route_t &route, int sock);

enum open_result_t {
    OPEN_DONE = 0,
    OPEN_FAILED = -1,      // no socket (last_socket_error tells why)
    OPEN_ID_TAKEN = -2,    // another endpoint serves its stream id on the port
    OPEN_NOT_WATCHED = -3, // the socket stays as the base socket (srt_getlasterror_str)
};
/*
 * Opens an endpoint (target nullptr: the source): a listening one joins its
 * port in the port table, another gets its base socket, watched by the
 * event loop. Returns an open_result_t. Caller holds route.lock.
 */
int open_endpoint(route_t &route, target_t *target);
// The endpoint.open event of an endpoint that opened. Caller holds route.lock.
void report_endpoint_open(const route_t &route, const target_t *target);

// True when sock is in conns. Caller holds route.lock or route.list_lock.
bool conns_contain(const std::list<conn_socket_t> &conns, int sock);
