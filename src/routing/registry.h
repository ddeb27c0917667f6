// The route registry: records, ids, locks and the start/stop of a route's threads.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <list>

#include <srt/srt.h>

#include "srt/endpoint.h"

/*
 * Locks, in the one order every thread takes them (never the other way round):
 *
 *   g_routes_lock -> route.lock -> stat_lock -> route.list_lock -> log_lock
 *
 * g_routes_lock  membership of g_routes (and g_retired_routes), the id counters.
 *                Held by every management operation for its whole run and by the
 *                main thread around the statistics pass. No route thread takes it.
 * route.lock     a route's settings (source, each target's endpoint) and the
 *                right to change its lists. Management operations hold it from the
 *                lookup to the end; the connection handler holds it while it
 *                handles one socket event (owner lookup, accept, rebuild).
 * stat_lock      serialises the statistics pass; kept taken by the main loop
 *                around the pass. The counters themselves are under list_lock.
 * route.list_lock the structure of the route's lists (conns, targets, each
 *                target's conns) and everything inside their entries: byte
 *                counters, SRT statistics snapshots, the route's and targets'
 *                statistics fields. Every change to a list takes it (inside
 *                route.lock); the transmit thread holds it for the fan-out of
 *                one message, the statistics pass and the read endpoints for
 *                their walk of one route. It is never held across a blocking
 *                call: sends are non-blocking and logging happens after release.
 * log_lock       log output, innermost.
 *
 * Atomic fields (read without any lock by a thread that does not own them):
 * route.running, route.conn_thread_done, route.transmit_thread_done,
 * route.basesockin, route.active_source, target.basesockout.
 *
 * A record never moves while listed (std::list nodes). A deleted route whose
 * threads have not both ended is parked in g_retired_routes and destroyed only
 * once both done flags are set.
 */
extern pthread_mutex_t g_routes_lock;
extern pthread_mutex_t stat_lock;

struct conn_socket_t {
    SRTSOCKET sock = -1;
    SRT_TRACEBSTATS stats = {};
    int64_t rcv_total = 0;
    int64_t sent_total = 0;
    int64_t rcv_delta = 0;
    int64_t sent_delta = 0;
};

struct target_t {
    int32_t id = 0;
    int64_t pktSentTotal = 0;
    int32_t pktLossTotal = 0;
    int32_t pktLoss = 0;
    float msRTT = 0.0f;
    std::atomic<int32_t> basesockout{-1};
    endpoint_url_t endpoint = {};
    std::list<conn_socket_t> conns;
};

struct route_t {
    int32_t id = 0;
    int32_t epoll_rcv = -1;
    int32_t epoll_snd = -1;
    // The connection handler's own epoll: listeners for IN, connecting sockets for
    // OUT, connected ones for ERR only, so it sleeps while traffic flows.
    int32_t epoll_conn = -1;
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> conn_thread_done{0};
    std::atomic<int32_t> transmit_thread_done{0};
    int64_t pktSentTotal = 0;
    int32_t pktLossTotal = 0;
    int32_t pktLoss = 0;
    float msRTT = 0.0f;
    endpoint_url_t source = {};
    std::atomic<int32_t> basesockin{-1};
    std::atomic<int32_t> active_source{-1};
    pthread_mutex_t lock;
    pthread_mutex_t list_lock;
    // Set once a thread pair was started; with it unset the record can go at once.
    bool threads_started = false;
    pthread_t conn_thread = {};
    pthread_t transmit_thread = {};
    std::list<conn_socket_t> conns;
    std::list<target_t> targets;
};

extern std::list<route_t> g_routes;
// Routes taken out of the registry whose threads had not ended yet.
extern std::list<route_t> g_retired_routes;

#define LAST_ERROR_SIZE 1500
extern char g_last_error[LAST_ERROR_SIZE];

// Epoll masks of the two data-path epolls.
extern const int SOURCE_EPOLL_EVENTS; // SRT_EPOLL_IN | SRT_EPOLL_ERR on epoll_rcv
extern const int TARGET_EPOLL_EVENTS; // SRT_EPOLL_OUT | SRT_EPOLL_ERR on epoll_snd

// A socket counts as broken once it is broken, closed or unknown to libsrt.
inline bool socket_is_broken(SRT_SOCKSTATUS state)
{
    return state == SRTS_BROKEN || state == SRTS_CLOSED || state == SRTS_NONEXIST;
}

// Initialises g_routes_lock, log_lock and stat_lock in that order; prints the
// failing one's message. Returns 0 or -1.
int init_global_locks(void);

// Next route/target id: counter value modulo 65535, skipping 0 and ids in use.
// Caller holds g_routes_lock (or is the start-up load, before other threads).
int32_t allocate_route_id(void);
int32_t allocate_target_id(void);
// The start-up load moves each counter to one past the largest id it read
// (a negative value leaves that counter alone).
void advance_id_counters(int32_t largest_route_id, int32_t largest_target_id);
void reset_id_counters(void); // back to 100 and 1000, for tests

// Builds a route record with its three epolls and two mutexes in a one-element
// list, ready to be spliced into g_routes. Returns 0, or -1 after printing why.
int build_route_record(std::list<route_t> &holder, int32_t id);
// Appends a target with defaults to the route. Caller holds route.lock.
target_t &append_target(route_t &route, int32_t id);

// Finds a route by id, walking from the front; on a match returns it with
// route.lock held. Caller holds g_routes_lock.
route_t *find_route_locked(int32_t id);
// Finds route and target; falls through to later routes with the same id.
// Returns the target with its route's lock held. Caller holds g_routes_lock.
target_t *find_target_locked(int32_t route_id, int32_t target_id, route_t **route_out);

// True when the route has no running thread pair and none is still ending.
bool route_threads_idle(const route_t &route);
// Starts the connection handler, then the transmit thread (running = 1), named
// "conn:<id>" and "xmit:<id>".
// Returns 0, or the pthread error; prints nothing.
int start_route_threads(route_t &route);
// Clears running and waits (at most 10 s) for both done flags. Caller
// holds g_routes_lock but not route.lock.
void stop_route_threads(route_t &route);

// Registration of a socket on the route's epolls (data path and handler).
// An accepted or connected socket is watched by the handler for errors only.
int register_source_socket(route_t &route, SRTSOCKET sock, bool connected);
int register_target_socket(route_t &route, SRTSOCKET sock, bool connected);
void watch_connected_socket(route_t &route, SRTSOCKET sock);
void unregister_source_socket(route_t &route, SRTSOCKET sock);
void unregister_target_socket(route_t &route, SRTSOCKET sock);

// Takes the route out of g_routes; destroys it at once when its threads have
// ended, otherwise parks it in g_retired_routes. Caller holds g_routes_lock.
void retire_route(route_t &route);
// Destroys parked routes whose threads have ended. Caller holds g_routes_lock.
void reap_retired_routes(void);

// Count of a list's entries, read under the route's list_lock.
size_t count_conns(route_t &route, const std::list<conn_socket_t> &conns);
