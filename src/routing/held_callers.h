// Callers held while the authorizer decides: nothing is forwarded to or from them until allowed.
#pragma once

#include "routing/authorization.h"
#include "routing/registry.h"

/*
 * The hook's part in taking a caller a port accepted for the route (target
 * nullptr: a publisher). Returns false when the caller is to be listed now
 * (no hook, or a cached allow); true when the hook took it: held (watched
 * for its break only, shown as pending) until its decision, or closed at
 * once as denied. Caller holds route.lock (the event loop). O(1) plus one
 * hand-over to the outgoing HTTP thread.
 */
bool hold_for_authorization(route_t &route, target_t *target, const handed_caller_t &caller);

/*
 * The decision for a held caller of the route: an allow lists it (it gets
 * and gives bytes from now on), a deny or an error closes it, counted,
 * logged and reported as auth.denied. A caller whose endpoint closed or
 * opened anew meanwhile is closed. Event loop; takes route.lock. O(held).
 */
void settle_held_caller(route_t &route, const auth_decision_t &decision);

// A held socket of the route was reported: closed and forgotten once broken.
// Returns true when sock is held. Caller holds route.lock. O(held).
bool check_held_socket(route_t &route, SRTSOCKET sock);
