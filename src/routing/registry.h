// The route registry: records, ids, locks and the start/stop of a route's threads.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <list>

#include <srt/srt.h>

#include "srt/endpoint.h"
#include "srt/port_table.h"

/*
 * Locks, in the one order every thread takes them (never the other way round).
 * Which thread does what is written in routing/event_loop.h.
 *
 *   g_routes_lock -> route.lock -> stat_lock -> route.list_lock -> g_loop_lock
 *                 -> g_ports_lock -> g_auth_lock -> log_lock -> g_events_lock
 *
 * g_routes_lock  membership of g_routes (and g_retired_routes), the id counters.
 *                Held by every management operation for its whole run and by the
 *                main thread around the statistics pass. The event loop never
 *                takes it.
 * route.lock     a route's settings (source, each target's endpoint) and the
 *                right to change its lists. Management operations hold it from the
 *                lookup to the end; the event loop holds it while it handles one
 *                socket event or timer of the route (accept, list, drop, redial).
 * stat_lock      serialises the statistics pass; kept taken by the main loop
 *                around the pass. The counters themselves are under list_lock.
 * route.list_lock the structure of the route's lists (conns, targets, each
 *                target's conns) and everything inside their entries: byte and
 *                drop counters, SRT statistics snapshots, connection details, the
 *                route's and targets' statistics fields, traffic totals and
 *                history. Every change to a list takes it (inside route.lock); the
 *                event loop holds it for the fan-out of one message, the
 *                statistics pass and the read endpoints for their walk of one
 *                route. It is never held across a blocking call or a libsrt call
 *                other than the non-blocking sends of the fan-out, and nothing is
 *                logged under it. A UDP source's non-blocking recvmmsg runs under
 *                it, so its descriptor is never closed while read.
 * g_loop_lock    the event loop's tables (event_loop.cpp): which route and side
 *                each watched socket belongs to, the routes it serves, its timers.
 *                Held for a lookup or an update, never while a handler runs.
 * g_ports_lock   the port table (srt/port_table.cpp): ports, their listeners'
 *                endpoints, callers between handshake and acceptance. libsrt's
 *                receive thread takes it in the handshake callback, so nothing
 *                that waits for libsrt is called while it is held.
 * g_auth_lock    the authorization hook's cache, requests and decisions
 *                (routing/authorization.cpp); taken under g_ports_lock by the
 *                handshake callback, and before the outgoing HTTP client's lock.
 * log_lock       the log queue.
 * g_events_lock  the event ring and the webhook's queue (core/events.cpp),
 *                innermost: emit_event may be called under any lock above.
 *
 * Settings read under list_lock alone: an endpoint's settings change only while
 * it has no connection (every operation closes them first, under list_lock, and
 * the loop lists new ones under route.lock and list_lock), so the fan-out reads
 * a target's endpoint, or the route's source, under list_lock once it has seen
 * that endpoint's conns non-empty, without route.lock.
 *
 * A recording (recording/recorder.cpp) has no lock: the loop fills its ring,
 * its own writer thread empties it, each side through an atomic index.
 *
 * Atomic fields (read without any lock by a thread that does not own them):
 * route.running, route.basesockin, route.active_source, target.basesockout.
 *
 * A record never moves while listed (std::list nodes). A deleted route is
 * parked in g_retired_routes and destroyed once the loop has let go of it
 * (loop_passed).
 */
extern pthread_mutex_t g_routes_lock;
extern pthread_mutex_t stat_lock;

enum connection_side_t { SIDE_SOURCE = 0, SIDE_TARGET = 1, SIDE_COUNT = 2 };

// Why the relay turned a caller away.
enum refusal_reason_t {
    REFUSED_STREAMID = 0, // wrong stream id for the port's lone endpoint (1403)
    REFUSED_REGISTER = 1, // the accepted caller could not be watched
    REFUSED_BROKEN = 2,   // broken already when accepted
    REFUSED_BADMODE = 3,  // the right stream id on the wrong side, or a mode not served (1405)
    REFUSED_SECRET = 4,   // the handshake failed on the endpoint's passphrase (wrong or missing)
    REFUSED_HANDSHAKE = 5, // the handshake failed after the stream id was taken, no passphrase set
    REFUSED_ADDRESS = 6,   // the peer is not in the endpoint's allow list (1403)
    REFUSED_FULL = 7,      // the endpoint has maxcallers callers already (1402)
    REFUSED_AUTH = 8,      // the authorizer denied it, at the handshake from its cache (1401)
    REFUSAL_REASON_COUNT = 9,
};
extern const char *const refusal_reason_names[REFUSAL_REASON_COUNT];

// Traffic figures of one connection, or the sum of several: those of connections
// that are gone are kept so totals never go down while the route or target exists.
struct traffic_totals_t {
    int64_t bytes = 0; // received (source side) or sent (target side)
    int64_t packets_lost = 0;
    int64_t packets_retransmitted = 0;
    int64_t packets_dropped = 0;
};

// What is known of a connection from the moment it is listed; filled before
// the entry enters its list and never changed afterwards.
struct conn_details_t {
    char peer[64] = "";                          // numeric host:port
    char stream_id[ENDPOINT_STREAMID_SIZE] = ""; // as presented by the caller (or our own)
    time_t connected_at = 0;
    bool encrypted = false;
    conn_mode_t mode = CONN_MODE_LISTEN;
    // Negotiated latency: the receive latency of a source connection, the
    // subscriber's of a target connection.
    int32_t latency_ms = 0;
    // libsrt's start time of the connection (clock of srt_time_now, us): a message
    // sent on it may not carry an earlier origin.
    int64_t start_us = 0;
};

struct conn_socket_t {
    SRTSOCKET sock = -1;
    SRT_TRACEBSTATS stats = {};
    int64_t rcv_total = 0;
    int64_t sent_total = 0;
    int64_t rcv_delta = 0;
    int64_t sent_delta = 0;
    int64_t dropped = 0; // messages a full send buffer refused (target side)
    // Bytes since the last statistics line (several passes when lines are rarer).
    int64_t window_bytes = 0;
    // Retransmitted packets received up to the last pass (libsrt counts them per period).
    int64_t retransmits_received = 0;
    float mbps = 0.0f; // over the last statistics period, in the connection's direction
    conn_details_t details;
    // Target with source time: the first message went out with its origin time;
    // from then on every message goes, so the run has no gap.
    bool source_time_started = false;
    // Source with failover: monotonic ms of the last message read from it.
    int64_t delivered_at_ms = 0;
    // UDP source: datagrams that were not a whole number of 188-byte packets.
    int64_t odd_datagrams = 0;
};

/*
 * Whether an endpoint should have a base socket, and when the event loop
 * tries again while it has none: a caller refused or unable to reach
 * its peer, a port that was busy. Attempts back off from 1 s, doubling to 30 s,
 * with 20% jitter; a connection that lasted 10 s starts the back-off afresh.
 * Guarded by route.lock.
 */
struct redial_t {
    bool wanted = false;       // an operation or the load opened (or tried to open) it
    uint64_t due_ms = 0;       // monotonic time of the next attempt
    uint32_t backoff_ms = 0;   // the wait after the next failure; 0: the first one
    uint64_t connected_ms = 0; // when the base socket connected; 0 while it is not
};

// The endpoint was just opened by an operation (opened) or could not be: it is
// wanted from now on, and one that could not open is tried after the first wait.
void want_endpoint(redial_t &redial, bool opened);
// Schedules the next attempt after a failed one. Returns the wait in ms.
uint32_t schedule_redial(redial_t &redial);
// The endpoint's connected base socket broke: the next attempt is at once
// after a connection of 10 s or more, else after the back-off. Returns the wait.
uint32_t schedule_redial_after_break(redial_t &redial);

// A caller accepted on a listening endpoint while the authorizer decides
// (routing/held_callers.h): watched for its break only, on no list the data
// path reads. Under route.list_lock, like the conns.
struct held_caller_t {
    conn_socket_t conn;
    int32_t target_id = -1;    // -1: a publisher of the source
    int64_t registration = 0;  // its endpoint's when it was accepted
};
// A file:// target's recording (recording/recorder.h).
struct recording_t;

// One second per sample, the last HISTORY_SECONDS of them.
#define HISTORY_SECONDS 900

struct target_t {
    int32_t id = 0;
    int64_t pktSentTotal = 0;
    int32_t pktLossTotal = 0;
    int32_t pktLoss = 0;
    float msRTT = 0.0f;
    std::atomic<int32_t> basesockout{-1};
    endpoint_url_t endpoint = {};
    std::list<conn_socket_t> conns;
    traffic_totals_t closed;
    float out_mbps[HISTORY_SECONDS] = {}; // aligned with the route's history ring
    redial_t redial;
    int64_t listen = 0; // registration on its port while a listening target is open
    // A file:// target's recording while it is open: set and cleared under
    // route.lock and list_lock; the fan-out only queues into it (list_lock).
    recording_t *recording = nullptr;
};

struct route_history_t {
    int64_t time[HISTORY_SECONDS] = {}; // unix seconds
    float in_mbps[HISTORY_SECONDS] = {};
    int next = 0; // slot of the next sample
    int count = 0;
};

struct route_t {
    int32_t id = 0;
    // 1 while the event loop serves the route (from its load or first switch-on
    // until it is deleted).
    std::atomic<int32_t> running{0};
    // The loop's pass when it stopped serving the route; see loop_passed.
    uint64_t retired_pass = 0;
    uint32_t watched = 0; // its sockets in the loop's table, under g_loop_lock
    int64_t pktSentTotal = 0;
    int32_t pktLossTotal = 0;
    int32_t pktLoss = 0;
    float msRTT = 0.0f;
    endpoint_url_t source = {};
    redial_t source_redial;
    int64_t source_listen = 0; // registration on its port while a listening source is open
    std::atomic<int32_t> basesockin{-1};
    std::atomic<int32_t> active_source{-1};
    pthread_mutex_t lock;
    pthread_mutex_t list_lock;
    std::list<conn_socket_t> conns;
    std::list<target_t> targets;
    std::list<held_caller_t> held; // callers of either side waiting for the authorizer
    traffic_totals_t closed_sources;
    uint64_t accepted[SIDE_COUNT] = {};
    uint64_t refused[SIDE_COUNT][REFUSAL_REASON_COUNT] = {};
    uint64_t source_switches = 0; // standbys that took over from a silent active source
    route_history_t history;
};

extern std::list<route_t> g_routes;
// Routes taken out of the registry that the event loop may still hold.
extern std::list<route_t> g_retired_routes;

#define LAST_ERROR_SIZE 1500
extern char g_last_error[LAST_ERROR_SIZE];

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

// Builds a route record with its two mutexes in a one-element list, ready to
// be spliced into g_routes. Returns 0, or -1 after printing why.
int build_route_record(std::list<route_t> &holder, int32_t id);
// Appends a target with defaults to the route. Caller holds route.lock.
target_t &append_target(route_t &route, int32_t id);

// Finds a route by id, walking from the front; on a match returns it with
// route.lock held. Caller holds g_routes_lock.
route_t *find_route_locked(int32_t id);
// Finds route and target; falls through to later routes with the same id.
// Returns the target with its route's lock held. Caller holds g_routes_lock.
target_t *find_target_locked(int32_t route_id, int32_t target_id, route_t **route_out);

// Where an endpoint stands: not meant to be open (disabled, or its route's
// source off), open, or waiting for its next attempt.
enum endpoint_state_t { ENDPOINT_OFF = 0, ENDPOINT_OPEN = 1, ENDPOINT_RETRYING = 2 };
extern const char *const endpoint_state_names[3];
// The state of the source (target nullptr) or of target. Caller holds route.lock.
endpoint_state_t endpoint_state(const route_t &route, const target_t *target);
// True while the endpoint has its base socket or listens on its port. Caller holds route.lock.
bool endpoint_is_open(const route_t &route, const target_t *target);

// The owner of the route's sockets for the port table: a target's (target_id)
// or the source's (-1).
socket_owner_t socket_owner(route_t &route, int32_t target_id);

// Takes the route out of g_routes and parks it in g_retired_routes until the
// event loop has let go of it. Caller holds g_routes_lock.
void retire_route(route_t &route);
// Destroys parked routes the loop has let go of. Caller holds g_routes_lock.
void reap_retired_routes(void);

// Count of a list's entries, read under the route's list_lock.
size_t count_conns(route_t &route, const std::list<conn_socket_t> &conns);

// Adds the figures of a connection that is going away to totals. Caller holds
// route.list_lock; final is a statistics snapshot taken (with the clear flag)
// just before, or nullptr when the socket could not be asked.
void fold_closed_connection(traffic_totals_t &totals, const conn_socket_t &conn,
                            const SRT_TRACEBSTATS *final, connection_side_t side);

// The source.disconnected or target.disconnected event (target_id -1: the
// source) of a connection that goes, for reason ("broken", "kicked" or
// "closed"), with the figures of its whole life. final as for
// fold_closed_connection. Any lock may be held.
void report_closed_connection(int32_t route_id, int32_t target_id, const conn_socket_t &conn,
                              const SRT_TRACEBSTATS *final, connection_side_t side,
                              const char *reason);

// A connection's figures in its own direction, as the views and metrics show
// them. Caller holds route.list_lock.
traffic_totals_t connection_figures(const conn_socket_t &conn, connection_side_t side);
void add_traffic(traffic_totals_t &totals, const traffic_totals_t &more);
