// The event loop: one thread that serves every listener and every connected socket of every route.
#pragma once

#include <stdint.h>

#include <srt/srt.h>

#include "routing/registry.h"

/*
 * Threads of the relay, and what each may wait on:
 *
 *   main        start-up, then the statistics pass once a second (sleeps).
 *   http        libwebsockets' service loop: every request, so every
 *               management operation after start-up.
 *   loop        the only relay thread that waits in libsrt: one srt_epoll
 *               (shared_epoll) holds every port's listener and every socket
 *               of every route. It accepts callers and lists them, notices
 *               sockets that connect or break, redials on timers, chooses the
 *               active source and fans each message out. Every handler does a
 *               bounded piece of work and never waits but for a route's locks,
 *               which nobody holds across a blocking call.
 *   log writer  the day log and the console (core/log).
 *   libsrt's own threads ("SRT:*"); its receive thread runs the handshake
 *               callback of the port table, which takes only g_ports_lock.
 *
 * libsrt wakes one waiter of any epoll for each socket event and every waiter
 * every 10 ms, so waiting threads cost in proportion to their number: here
 * there is one, whatever the number of routes. A route is data: serving it
 * registers its sockets and starts no thread; an idle route has no timer and
 * costs nothing per second.
 *
 * Lifetime: the loop finds a socket's route in its table (g_loop_lock) and
 * uses the record until the end of that pass. A route the loop no longer
 * serves is destroyed only once the loop has begun two passes since
 * (loop_passed), so no handler still holds it. The loop's own lock is taken
 * after a route's locks (see registry.h); it is never held while a handler
 * runs.
 */

/*
 * Registers sock of the route's source (target_id -1) or of target target_id
 * for what matters in its state: a base socket not yet listed for OUT and ERR
 * (it is listed once it connects), a listed source connection for IN and ERR, a
 * listed target connection for ERR only. Called again when it is listed. A base
 * socket also gets one look at the route soon, since one that connected before
 * it was registered raises no event. Returns 0, or -1 when libsrt refuses
 * (srt_getlasterror_str tells why). Caller holds route.lock.
 */
int watch_socket(route_t &route, SRTSOCKET sock, int32_t target_id, bool listed);
// Registers a caller held for the authorizer for its break only (SRT_EPOLL_ERR):
// it is read from only once listed (watch_socket again). Returns 0 or -1.
// Caller holds route.lock.
int watch_held_socket(route_t &route, SRTSOCKET sock, int32_t target_id);
// Takes sock off the loop. Caller holds route.lock (or the route is retired).
void unwatch_socket(route_t &route, SRTSOCKET sock);

/*
 * Registers the system socket fd of the route's UDP source for IN under its id
 * sock (udp_endpoint.h); unwatch_socket(route, sock) takes it off. While any
 * is watched the loop waits in libsrt 5 ms at most, then looks at them without
 * waiting. Returns 0, or -1 with errno set. Caller holds route.lock.
 */
int watch_system_socket(route_t &route, int fd, int sock);

// The loop serves the route from now on (running 1): callers handed over, its
// sockets, its timers. Starts the loop on first use. Caller holds g_routes_lock.
void serve_route(route_t &route);
// The loop stops serving the route (running 0) and forgets its sockets and
// timers; the record stays valid for the loop until loop_passed(route.retired_pass).
// Caller holds g_routes_lock.
void stop_serving_route(route_t &route);
// True once the loop has begun two passes since pass (or never ran).
bool loop_passed(uint64_t pass);

// Asks the loop to look at the route's base sockets and redials at due_ms
// (monotonic). Any thread; takes g_loop_lock.
void schedule_route_check(route_t &route, uint64_t due_ms);
