// The route registry: records, ids, locks and the retirement of deleted routes.
#include "routing/registry.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iterator>

#include "core/events.h"
#include "core/log.h"
#include "routing/event_loop.h"
#include "routing/udp_endpoint.h"

pthread_mutex_t g_routes_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t stat_lock = PTHREAD_MUTEX_INITIALIZER;

std::list<route_t> g_routes;
std::list<route_t> g_retired_routes;
char g_last_error[LAST_ERROR_SIZE] = "";
const char *const refusal_reason_names[REFUSAL_REASON_COUNT] = {
    "streamid", "register", "broken", "badmode", "secret", "handshake", "address", "full", "auth"};

#define REDIAL_FIRST_MS 1000
#define REDIAL_MAX_MS 30000
#define REDIAL_FRESH_AFTER_MS 10000

#define FIRST_ROUTE_ID 100
#define FIRST_TARGET_ID 1000
#define ID_MODULUS 65535

static int32_t g_route_id_counter = FIRST_ROUTE_ID;
static int32_t g_target_id_counter = FIRST_TARGET_ID;

int init_global_locks(void)
{
    if (pthread_mutex_init(&g_routes_lock, nullptr) != 0) {
        printf("Mutex (g_routes_lock) init failed\n");
        return -1;
    }
    if (pthread_mutex_init(&log_lock, nullptr) != 0) {
        printf("Mutex (log_lock) init failed\n");
        return -1;
    }
    if (pthread_mutex_init(&stat_lock, nullptr) != 0) {
        printf("Mutex (stat_lock) init failed\n");
        return -1;
    }
    return 0;
}

void want_endpoint(redial_t &redial, bool opened)
{
    redial = redial_t{};
    redial.wanted = true;
    if (!opened)
        schedule_redial(redial);
}

uint32_t schedule_redial(redial_t &redial)
{
    // Each thread its own sequence; only the spread matters, not its quality.
    thread_local unsigned seed = (unsigned)monotonic_ms() ^ (unsigned)(uintptr_t)&redial;
    uint32_t backoff = redial.backoff_ms != 0 ? redial.backoff_ms : REDIAL_FIRST_MS;
    uint32_t wait = backoff * 4 / 5 + (uint32_t)(rand_r(&seed) % (backoff * 2 / 5 + 1));
    redial.due_ms = monotonic_ms() + wait;
    redial.backoff_ms = backoff * 2 < REDIAL_MAX_MS ? backoff * 2 : REDIAL_MAX_MS;
    redial.connected_ms = 0;
    return wait;
}

uint32_t schedule_redial_after_break(redial_t &redial)
{
    uint64_t now = monotonic_ms();
    if (redial.connected_ms != 0 && now - redial.connected_ms >= REDIAL_FRESH_AFTER_MS) {
        redial.backoff_ms = 0;
        redial.due_ms = now;
        redial.connected_ms = 0;
        return 0;
    }
    return schedule_redial(redial);
}

const char *const endpoint_state_names[3] = {"off", "open", "retrying"};

bool endpoint_is_open(const route_t &route, const target_t *target)
{
    if (target != nullptr)
        return target->basesockout != -1 || target->listen != 0 || target->recording != nullptr ||
               udp_endpoint_listed(route, target);
    return route.basesockin != -1 || route.source_listen != 0 ||
           udp_endpoint_listed(route, nullptr);
}

endpoint_state_t endpoint_state(const route_t &route, const target_t *target)
{
    const redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    if (!redial.wanted)
        return ENDPOINT_OFF;
    return endpoint_is_open(route, target) ? ENDPOINT_OPEN : ENDPOINT_RETRYING;
}

static bool route_id_in_use(int32_t id)
{
    for (const route_t &route : g_routes)
        if (route.id == id)
            return true;
    for (const route_t &route : g_retired_routes)
        if (route.id == id)
            return true;
    return false;
}

static bool target_id_in_use(int32_t id)
{
    for (const route_t &route : g_routes)
        for (const target_t &target : route.targets)
            if (target.id == id)
                return true;
    return false;
}

// Counter value modulo 65535; 0 and ids in use are skipped so no two records
// ever share an id, even after the counter wraps.
static int32_t allocate_id(int32_t &counter, bool (*in_use)(int32_t))
{
    for (int tries = 0; tries < ID_MODULUS; tries++) {
        int32_t id = counter % ID_MODULUS;
        counter = counter == INT32_MAX ? 0 : counter + 1;
        if (id > 0 && !in_use(id))
            return id;
    }
    return -1;
}

int32_t allocate_route_id(void)
{
    return allocate_id(g_route_id_counter, route_id_in_use);
}

int32_t allocate_target_id(void)
{
    return allocate_id(g_target_id_counter, target_id_in_use);
}

void advance_id_counters(int32_t largest_route_id, int32_t largest_target_id)
{
    if (largest_route_id >= 0)
        g_route_id_counter = largest_route_id == INT32_MAX ? 0 : largest_route_id + 1;
    if (largest_target_id >= 0)
        g_target_id_counter = largest_target_id == INT32_MAX ? 0 : largest_target_id + 1;
}

void reset_id_counters(void)
{
    g_route_id_counter = FIRST_ROUTE_ID;
    g_target_id_counter = FIRST_TARGET_ID;
}

int build_route_record(std::list<route_t> &holder, int32_t id)
{
    route_t &route = holder.emplace_back();
    route.id = id;
    if (pthread_mutex_init(&route.lock, nullptr) != 0) {
        console_printf("Mutex (lock) init failed\n\n");
        holder.pop_back();
        return -1;
    }
    if (pthread_mutex_init(&route.list_lock, nullptr) != 0) {
        pthread_mutex_destroy(&route.lock);
        console_printf("Mutex (lock) init failed\n\n");
        holder.pop_back();
        return -1;
    }
    return 0;
}

target_t &append_target(route_t &route, int32_t id)
{
    std::list<target_t> fresh;
    target_t &target = fresh.emplace_back();
    target.id = id;
    pthread_mutex_lock(&route.list_lock);
    route.targets.splice(route.targets.end(), fresh);
    pthread_mutex_unlock(&route.list_lock);
    return target;
}

route_t *find_route_locked(int32_t id)
{
    for (route_t &route : g_routes) {
        pthread_mutex_lock(&route.lock);
        if (route.id == id)
            return &route;
        pthread_mutex_unlock(&route.lock);
    }
    return nullptr;
}

target_t *find_target_locked(int32_t route_id, int32_t target_id, route_t **route_out)
{
    for (route_t &route : g_routes) {
        pthread_mutex_lock(&route.lock);
        if (route.id == route_id) {
            for (target_t &target : route.targets) {
                if (target.id == target_id) {
                    *route_out = &route;
                    return &target;
                }
            }
        }
        pthread_mutex_unlock(&route.lock);
    }
    return nullptr;
}

socket_owner_t socket_owner(route_t &route, int32_t target_id)
{
    return {route.id, target_id, &route};
}

static void destroy_parked(std::list<route_t> &list, std::list<route_t>::iterator it)
{
    // Closed by the deletion already; whatever is left goes now.
    for (const conn_socket_t &conn : it->conns)
        close_route_socket(conn.sock);
    for (const held_caller_t &held : it->held)
        srt_close(held.conn.sock);
    for (const target_t &target : it->targets) {
        for (const conn_socket_t &conn : target.conns)
            close_route_socket(conn.sock);
        if (target.basesockout != -1)
            srt_close(target.basesockout);
        stop_listening(target.listen);
    }
    if (it->basesockin != -1)
        srt_close(it->basesockin);
    stop_listening(it->source_listen);
    pthread_mutex_destroy(&it->lock);
    pthread_mutex_destroy(&it->list_lock);
    list.erase(it);
}

void retire_route(route_t &route)
{
    stop_serving_route(route);
    for (auto it = g_routes.begin(); it != g_routes.end(); ++it) {
        if (&*it != &route)
            continue;
        g_retired_routes.splice(g_retired_routes.end(), g_routes, it);
        break;
    }
    reap_retired_routes();
}

void reap_retired_routes(void)
{
    for (auto it = g_retired_routes.begin(); it != g_retired_routes.end();) {
        auto next = std::next(it);
        if (loop_passed(it->retired_pass))
            destroy_parked(g_retired_routes, it);
        it = next;
    }
}

size_t count_conns(route_t &route, const std::list<conn_socket_t> &conns)
{
    pthread_mutex_lock(&route.list_lock);
    size_t count = conns.size();
    pthread_mutex_unlock(&route.list_lock);
    return count;
}

traffic_totals_t connection_figures(const conn_socket_t &conn, connection_side_t side)
{
    const SRT_TRACEBSTATS &stats = conn.stats;
    if (side == SIDE_SOURCE)
        return {conn.rcv_total + conn.rcv_delta, stats.pktRcvLossTotal, conn.retransmits_received,
                stats.pktRcvDropTotal};
    return {conn.sent_total + conn.sent_delta, stats.pktSndLossTotal, stats.pktRetransTotal,
            stats.pktSndDropTotal + conn.dropped};
}

void fold_closed_connection(traffic_totals_t &totals, const conn_socket_t &conn,
                            const SRT_TRACEBSTATS *final, connection_side_t side)
{
    // The last pass's snapshot, updated by the final one: libsrt's totals are
    // taken whole, its per-period retransmit count is added to what was kept.
    conn_socket_t last = conn;
    if (final != nullptr) {
        last.stats = *final;
        last.retransmits_received += final->pktRcvRetrans;
    }
    add_traffic(totals, connection_figures(last, side));
}

void report_closed_connection(int32_t route_id, int32_t target_id, const conn_socket_t &conn,
                              const SRT_TRACEBSTATS *final, connection_side_t side,
                              const char *reason)
{
    traffic_totals_t life = {};
    fold_closed_connection(life, conn, final, side);
    int64_t seconds =
        conn.details.connected_at != 0 ? time(nullptr) - conn.details.connected_at : 0;
    emit_event(side == SIDE_SOURCE ? EVENT_SOURCE_DISCONNECTED : EVENT_TARGET_DISCONNECTED,
               {route_id, target_id, conn.details.peer, conn.details.stream_id},
               {{"reason", reason},
                {"bytes", life.bytes},
                {"loss", life.packets_lost},
                {"retransmissions", life.packets_retransmitted},
                {"drops", life.packets_dropped},
                {"seconds", seconds}});
}

void add_traffic(traffic_totals_t &totals, const traffic_totals_t &more)
{
    totals.bytes += more.bytes;
    totals.packets_lost += more.packets_lost;
    totals.packets_retransmitted += more.packets_retransmitted;
    totals.packets_dropped += more.packets_dropped;
}
