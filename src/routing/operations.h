// Route and target management: create, reconfigure, switch and delete while traffic flows.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Each takes g_routes_lock, then the route's lock, and saves the configuration
// with the change; no file I/O happens while a lock is held (see save_around in
// operations.cpp). Failures leave a reason in g_last_error as noted. Run on one
// thread at a time (the start-up load, then the HTTP thread), with no lock held.

// What an operation returns when the route file could not be written: nothing
// changed (or, when the disk failed after the change, the next save repairs
// the file), and g_last_error holds "Saving configuration failed: <reason>".
#define OPERATION_SAVE_FAILED (-2)

int32_t create_route(void);
int32_t delete_route(int32_t route_id);
int32_t enable_source(int32_t route_id, int32_t enabled);
int32_t update_source(int32_t route_id, int32_t enabled, int32_t mode, const char *url);
int32_t add_target(int32_t route_id);
int32_t delete_target(int32_t route_id, int32_t target_id);
int32_t enable_target(int32_t route_id, int32_t target_id, int32_t enabled);
int32_t update_target(int32_t route_id, int32_t target_id, int32_t enabled, int32_t mode,
                      const char *url);

// Closes one connection accepted on a listening endpoint (a subscriber, or the
// publisher of a listening source), as the event loop does on a break.
// Returns 0, or -1 with "Connection <id> not found" in g_last_error.
int32_t kick_connection(int32_t sock);

// Opens the base sockets of a route's source and of its enabled targets, as the
// start-up load does: each failure is logged and none stops the others. Caller
// holds route.lock or owns a record not yet in g_routes.
struct route_t;
void open_route_sockets(route_t &route);

// Stops every route's threads, closes its sockets and drops it, without saving.
// Used by the start-up load and by tests. Caller holds no lock.
void discard_all_routes(void);
// The same, saved once when there was a route: what deleting every route one by
// one leaves, without a save and a wait per route. Returns how many went, or
// OPERATION_SAVE_FAILED (nothing deleted).
int32_t delete_all_routes(void);
