// The connection side of a route: callers taken, sockets listed and dropped, redials; run by the event loop.
#include "routing/connections.h"

#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/events.h"
#include "core/log.h"
#include "recording/recording_target.h"
#include "routing/event_loop.h"
#include "routing/udp_endpoint.h"
#include "routing/held_callers.h"
#include "srt/socket.h"

// A socket that could not be listed or rebuilt is looked at again this much later.
#define RETRY_LATER_MS 100

bool conns_contain(const std::list<conn_socket_t> &conns, int sock)
{
    for (const conn_socket_t &conn : conns)
        if (conn.sock == sock)
            return true;
    return false;
}

// What the connections view shows of sock, read from libsrt once, before listing.
static void read_details(SRTSOCKET sock, bool source_side, conn_mode_t mode,
                         conn_details_t &details)
{
    struct sockaddr_storage peer;
    int peer_len = (int)sizeof peer;
    if (srt_getpeername(sock, (struct sockaddr *)&peer, &peer_len) != SRT_ERROR)
        format_peer_address((struct sockaddr *)&peer, peer_len, details.peer, sizeof details.peer);
    char streamid[1024];
    memset(streamid, 0, sizeof streamid);
    int len = (int)sizeof streamid - 1;
    if (srt_getsockflag(sock, SRTO_STREAMID, streamid, &len) != SRT_ERROR)
        snprintf(details.stream_id, sizeof details.stream_id, "%.*s",
                 (int)sizeof details.stream_id - 1, streamid);
    int32_t km_state = SRT_KM_S_UNSECURED;
    len = (int)sizeof km_state;
    if (srt_getsockflag(sock, SRTO_KMSTATE, &km_state, &len) != SRT_ERROR)
        details.encrypted = km_state == SRT_KM_S_SECURED;
    SRT_SOCKOPT latency_option = source_side ? SRTO_RCVLATENCY : SRTO_PEERLATENCY;
    len = (int)sizeof details.latency_ms;
    if (srt_getsockflag(sock, latency_option, &details.latency_ms, &len) == SRT_ERROR)
        details.latency_ms = 0;
    details.start_us = srt_connection_time(sock);
    details.connected_at = time(nullptr);
    details.mode = mode;
}

static void count_refusal(route_t &route, connection_side_t side, refusal_reason_t reason)
{
    pthread_mutex_lock(&route.list_lock);
    route.refused[side][reason]++;
    pthread_mutex_unlock(&route.list_lock);
}

int add_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock)
{
    bool source_side = source_sock != -1;
    int sock = source_side ? source_sock : target_sock;
    if (sock == -1 || (!source_side && target == nullptr))
        return 0;
    std::list<conn_socket_t> &conns = source_side ? route->conns : target->conns;
    if (conns_contain(conns, sock))
        return 0;
    if (watch_socket(*route, sock, source_side ? -1 : target->id, true) == -1)
        return -1;

    std::list<conn_socket_t> fresh;
    conn_socket_t &conn = fresh.emplace_back();
    conn.sock = sock;
    const endpoint_url_t &endpoint = source_side ? route->source : target->endpoint;
    read_details(sock, source_side, endpoint.mode, conn.details);
    // libsrt names no peer for a socket that called: it is the endpoint's own.
    if (conn.details.peer[0] == '\0' && endpoint.mode != CONN_MODE_LISTEN)
        snprintf(conn.details.peer, sizeof conn.details.peer,
                 endpoint.family == AF_INET6 ? "[%s]:%d" : "%s:%d", endpoint.host, endpoint.port);
    pthread_mutex_lock(&route->list_lock);
    conns.splice(conns.end(), fresh);
    route->accepted[source_side ? SIDE_SOURCE : SIDE_TARGET]++;
    pthread_mutex_unlock(&route->list_lock);
    if (source_side)
        emit_event(EVENT_SOURCE_CONNECTED, {route->id, -1, conn.details.peer, conn.details.stream_id},
                   {{"active", route->active_source == -1 || route->active_source == sock}});
    else
        emit_event(EVENT_TARGET_CONNECTED,
                   {route->id, target->id, conn.details.peer, conn.details.stream_id},
                   {{"latency_ms", conn.details.latency_ms}});
    return 0;
}

// Lists sock on the source side (target nullptr) or on target. Caller holds route.lock.
static int list_socket(route_t &route, target_t *target, int sock)
{
    return target == nullptr ? add_connection_locked(&route, nullptr, sock, -1)
                             : add_connection_locked(&route, target, -1, sock);
}

// Takes sock out of conns, adding its last figures to totals. Returns true
// when it was listed. Caller holds route.lock.
static bool retire_conn(route_t &route, std::list<conn_socket_t> &conns, traffic_totals_t &totals,
                        int sock, connection_side_t side, int32_t target_id, const char *reason)
{
    if (!conns_contain(conns, sock))
        return false;
    SRT_TRACEBSTATS final;
    bool fresh = srt_bstats(sock, &final, 1) == 0;
    pthread_mutex_lock(&route.list_lock);
    for (auto it = conns.begin(); it != conns.end(); ++it) {
        if (it->sock != sock)
            continue;
        fold_closed_connection(totals, *it, fresh ? &final : nullptr, side);
        report_closed_connection(route.id, target_id, *it, fresh ? &final : nullptr, side, reason);
        conns.erase(it);
        break;
    }
    pthread_mutex_unlock(&route.list_lock);
    return true;
}

bool remove_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock,
                              const char *reason)
{
    if (source_sock != -1 && retire_conn(*route, route->conns, route->closed_sources, source_sock,
                                         SIDE_SOURCE, -1, reason)) {
        unwatch_socket(*route, source_sock);
        close_route_socket(source_sock);
        forget_port_caller(source_sock);
        log_message(LOG_LEVEL_INFO, "[CONNTHREAD] source has disconnected\n");
        return true;
    }
    if (target_sock != -1 && target != nullptr &&
        retire_conn(*route, target->conns, target->closed, target_sock, SIDE_TARGET, target->id,
                    reason)) {
        unwatch_socket(*route, target_sock);
        close_route_socket(target_sock);
        forget_port_caller(target_sock);
        log_message(LOG_LEVEL_INFO, "[CONNTHREAD] target has disconnected\n");
        return true;
    }
    return false;
}

int add_connection(route_t *route, target_t *target, int source_sock, int target_sock)
{
    pthread_mutex_lock(&route->lock);
    int result = add_connection_locked(route, target, source_sock, target_sock);
    pthread_mutex_unlock(&route->lock);
    return result;
}

bool remove_connection(route_t *route, target_t *target, int source_sock, int target_sock)
{
    pthread_mutex_lock(&route->lock);
    bool removed = remove_connection_locked(route, target, source_sock, target_sock);
    pthread_mutex_unlock(&route->lock);
    return removed;
}

int kick_connection_locked(route_t &route, int sock)
{
    if (is_udp_sock(sock))
        return -1; // an endpoint's own socket, not a caller
    if (conns_contain(route.conns, sock)) {
        if (route.source.mode != CONN_MODE_LISTEN)
            return -1;
        remove_connection_locked(&route, nullptr, sock, -1, "kicked");
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
        return 0;
    }
    for (target_t &target : route.targets) {
        if (!conns_contain(target.conns, sock))
            continue;
        if (target.endpoint.mode != CONN_MODE_LISTEN)
            return -1;
        remove_connection_locked(&route, &target, -1, sock, "kicked");
        return 0;
    }
    return -1;
}

static void log_caller_options(int sock)
{
    int32_t latency = 0;
    int len = sizeof latency;
    if (srt_getsockopt(sock, 0, SRTO_LATENCY, &latency, &len) != SRT_ERROR)
        log_messagef(LOG_LEVEL_INFO, "==== SRTO_LATENCY:%d, size:%d\n", latency, len);
    int64_t maxbw = 0;
    len = sizeof maxbw;
    if (srt_getsockopt(sock, 0, SRTO_MAXBW, &maxbw, &len) != SRT_ERROR)
        log_messagef(LOG_LEVEL_INFO, "==== SRTO_MAXBW:%ld, size:%d\n", (long)maxbw, len);
    char passphrase[1024];
    memset(passphrase, 0, sizeof passphrase);
    len = (int)sizeof passphrase;
    if (srt_getsockopt(sock, 0, SRTO_PASSPHRASE, passphrase, &len) != SRT_ERROR)
        log_messagef(LOG_LEVEL_INFO, "==== SRTO_PASSPHRASE:%s, size:%d\n",
                     passphrase[0] != '\0' ? PASSPHRASE_MASK : "", len);
    memset(passphrase, 0, sizeof passphrase);
    int32_t pbkeylen = 0;
    len = sizeof pbkeylen;
    if (srt_getsockopt(sock, 0, SRTO_PBKEYLEN, &pbkeylen, &len) != SRT_ERROR)
        log_messagef(LOG_LEVEL_INFO, "==== SRTO_PBKEYLEN:%d, size:%d\n", pbkeylen, len);
}

/*
 * Lists a caller that the port table accepted for one of the route's listening
 * endpoints, watched by the event loop. A caller whose endpoint went away
 * or was opened anew since its handshake is closed: a route switched off or
 * deleted never gets one. One that cannot be watched is closed and logged; the
 * route carries on serving the others. Caller holds route.lock.
 */
static void take_caller(route_t &route, const handed_caller_t &caller)
{
    target_t *target = nullptr;
    if (caller.target_id != -1)
        for (target_t &candidate : route.targets)
            if (candidate.id == caller.target_id)
                target = &candidate;
    int64_t registration = caller.target_id == -1 ? route.source_listen
                           : target != nullptr    ? target->listen
                                                  : 0;
    connection_side_t side = target == nullptr ? SIDE_SOURCE : SIDE_TARGET;
    int sock = caller.sock;
    if (registration == 0 || registration != caller.registration) {
        srt_close(sock);
        return;
    }
    if (socket_is_broken(srt_getsockstate(sock))) {
        srt_close(sock);
        count_refusal(route, side, REFUSED_BROKEN);
        emit_event(EVENT_CALLER_REFUSED, {route.id, caller.target_id},
                   {{"reason", refusal_reason_names[REFUSED_BROKEN]}});
        return;
    }
    if (side == SIDE_SOURCE)
        log_caller_options(sock);
    struct sockaddr_storage peer;
    int peer_len = (int)sizeof peer;
    char text[NI_MAXHOST + NI_MAXSERV + 2] = "";
    if (srt_getpeername(sock, (struct sockaddr *)&peer, &peer_len) != SRT_ERROR)
        format_peer_address((struct sockaddr *)&peer, peer_len, text, sizeof text);
    log_messagef(LOG_LEVEL_INFO, "[CONNTHREAD] New %s: %s\n",
                 side == SIDE_SOURCE ? "source" : "target", text);
    if (hold_for_authorization(route, target, caller))
        return;
    if (list_socket(route, target, sock) == -1) {
        log_messagef(LOG_LEVEL_ERR, "[CONNTHREAD] %s srt_epoll_add_usock: %s; caller closed\n",
                     side == SIDE_SOURCE ? "rcv" : "snd", srt_getlasterror_str());
        unwatch_socket(route, sock);
        srt_close(sock);
        count_refusal(route, side, REFUSED_REGISTER);
        emit_event(EVENT_CALLER_REFUSED, {route.id, caller.target_id, text},
                   {{"reason", refusal_reason_names[REFUSED_REGISTER]}});
        return;
    }
    // A caller that broke between the look above and its watch raised no event:
    // it would stay listed for ever.
    if (socket_is_broken(srt_getsockstate(sock))) {
        remove_connection_locked(&route, target, side == SIDE_SOURCE ? sock : -1,
                                 side == SIDE_SOURCE ? -1 : sock);
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
    }
}

void take_port_caller(route_t &route, const handed_caller_t &caller)
{
    pthread_mutex_lock(&route.lock);
    if (route.running != 0)
        take_caller(route, caller);
    else
        srt_close(caller.sock);
    pthread_mutex_unlock(&route.lock);
}

void report_endpoint_open(const route_t &route, const target_t *target)
{
    const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    static const char *const modes[] = {"listen", "caller", "rendezvous"};
    emit_event(EVENT_ENDPOINT_OPEN, {route.id, target != nullptr ? target->id : -1},
               {{"mode", endpoint.mode < 3 ? modes[endpoint.mode] : "?"}, {"port", endpoint.port}});
}

int open_endpoint(route_t &route, target_t *target)
{
    endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    socket_owner_t owner = socket_owner(route, target != nullptr ? target->id : -1);
    if (target != nullptr && is_recording_url(endpoint.url))
        return open_recording_target(route, *target) == 0 ? OPEN_DONE : OPEN_FAILED;
    if (endpoint.udp.udp != 0)
        return open_udp_endpoint(route, target);
    if (endpoint.mode == CONN_MODE_LISTEN) {
        int64_t registration = listen_on_port(endpoint, owner);
        if (registration < 0)
            return registration == PORT_STREAM_ID_TAKEN ? OPEN_ID_TAKEN : OPEN_FAILED;
        (target != nullptr ? target->listen : route.source_listen) = registration;
        return OPEN_DONE;
    }
    int sock = create_srt_socket(&endpoint);
    if (target != nullptr)
        target->basesockout = sock;
    else
        route.basesockin = sock;
    if (sock == -1)
        return OPEN_FAILED;
    return watch_socket(route, sock, target != nullptr ? target->id : -1, false) == 0
               ? OPEN_DONE
               : OPEN_NOT_WATCHED;
}

// What one look at a route left to do.
struct handler_pass_t {
    bool retry_later; // something could not be listed or rebuilt: look again soon
};

// What the redial line names: "source" or "target <id>", its mode and URL.
static void log_redial(route_t &route, target_t *target, const char *why, uint32_t wait_ms)
{
    const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    const char *mode =
        target != nullptr ? target_mode_name(endpoint.mode) : source_mode_name(endpoint.mode);
    char name[32] = "source";
    if (target != nullptr)
        snprintf(name, sizeof name, "target %d", target->id);
    log_messagef(LOG_LEVEL_WARNING, "[CONNTHREAD] Route %d %s (%s %s): %s; next try in %.1f s\n",
                 route.id, name, mode != nullptr ? mode : "?",
                 mask_passphrases(endpoint.url).c_str(), why, wait_ms / 1000.0);
    emit_event(EVENT_ENDPOINT_RETRYING, {route.id, target != nullptr ? target->id : -1},
               {{"error", why}, {"retry_in_ms", wait_ms}});
}

/*
 * A calling or rendezvous base socket broke, before or after it connected: it
 * is closed at once (its UDP port and libsrt's threads go with it) and dialled
 * again when the back-off says. Caller holds route.lock.
 */
static void drop_broken_base(route_t &route, target_t *target, int broken)
{
    redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    bool was_connected = redial.connected_ms != 0;
    int reason = srt_getrejectreason(broken);
    if (target == nullptr) {
        int expected = broken;
        route.active_source.compare_exchange_strong(expected, -1);
        remove_connection_locked(&route, nullptr, broken, -1);
        route.basesockin = -1;
    } else {
        remove_connection_locked(&route, target, -1, broken);
        target->basesockout = -1;
    }
    unwatch_socket(route, broken);
    srt_close(broken);
    char why[160];
    if (was_connected)
        snprintf(why, sizeof why, "connection lost");
    else if (reason == SRT_REJ_TIMEOUT)
        snprintf(why, sizeof why, "no answer");
    else
        snprintf(why, sizeof why, "refused (reject %d: %s)", reason, srt_rejectreason_str(reason));
    log_redial(route, target, why, schedule_redial_after_break(redial));
}

// Opens a wanted endpoint's base socket again (target nullptr: the source); a
// failure is logged and tried again after the back-off, a stream id that another
// endpoint took on the port meanwhile leaves it closed. Caller holds route.lock.
static void redial_endpoint(route_t &route, target_t *target)
{
    redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    int opened = open_endpoint(route, target);
    char why[LOG_MESSAGE_SIZE / 2] = "";
    if (opened == OPEN_DONE) {
        report_endpoint_open(route, target);
        return;
    }
    if (opened == OPEN_ID_TAKEN) {
        const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
        snprintf(why, sizeof why, "stream id %s is already served on port %d; left closed",
                 endpoint.streamid, endpoint.port);
        redial.wanted = false;
        log_redial(route, target, why, 0);
        return;
    }
    if (opened == OPEN_NOT_WATCHED) {
        snprintf(why, sizeof why, "srt_epoll_add_usock: %s", srt_getlasterror_str());
        int sock =
            target != nullptr ? target->basesockout.exchange(-1) : route.basesockin.exchange(-1);
        srt_close(sock);
    } else {
        snprintf(why, sizeof why, "%s", last_socket_error());
    }
    log_redial(route, target, why, schedule_redial(redial));
}

// Whether an endpoint waits for a redial, and in how many ms it is due (0: now).
static bool redial_pending(const redial_t &redial, bool open, uint64_t now, uint64_t *wait_ms)
{
    if (!redial.wanted || open)
        return false;
    *wait_ms = redial.due_ms > now ? redial.due_ms - now : 0;
    return true;
}

// The wait until the first pending redial of the route (UINT64_MAX: none).
// Caller holds route.lock.
static uint64_t next_redial_wait(route_t &route)
{
    uint64_t now = monotonic_ms(), wait = 0, next = UINT64_MAX;
    if (redial_pending(route.source_redial, endpoint_is_open(route, nullptr), now, &wait))
        next = wait;
    for (const target_t &target : route.targets)
        if (redial_pending(target.redial, endpoint_is_open(route, &target), now, &wait) &&
            wait < next)
            next = wait;
    return next;
}

// Redials every endpoint whose time has come. Returns the wait until the next
// pending one, those that failed again just now included. Caller holds route.lock.
static uint64_t redial_due_endpoints(route_t &route)
{
    uint64_t now = monotonic_ms(), wait = 0;
    if (redial_pending(route.source_redial, endpoint_is_open(route, nullptr), now, &wait) &&
        wait == 0)
        redial_endpoint(route, nullptr);
    for (target_t &target : route.targets)
        if (redial_pending(target.redial, endpoint_is_open(route, &target), now, &wait) &&
            wait == 0)
            redial_endpoint(route, &target);
    return next_redial_wait(route);
}

// Lists a connected calling or rendezvous socket; one that cannot be watched
// yet is tried again on a later pass. Caller holds route.lock.
static void list_connected(route_t &route, target_t *target, int sock, handler_pass_t &pass)
{
    redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    if (redial.connected_ms == 0)
        redial.connected_ms = monotonic_ms();
    if (list_socket(route, target, sock) == -1) {
        log_messagef(LOG_LEVEL_INFO, "srt_epoll_add_usock failed: %s\n", srt_getlasterror_str());
        pass.retry_later = true;
    }
}

// A calling or rendezvous base socket's state: listed once connected, dropped
// and redialled once broken. Caller holds route.lock.
static void check_base_socket(route_t &route, target_t *target, handler_pass_t &pass)
{
    int sock = target != nullptr ? target->basesockout.load() : route.basesockin.load();
    if (sock == -1)
        return;
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    if (state == SRTS_CONNECTED) {
        list_connected(route, target, sock, pass);
    } else if (socket_is_broken(state)) {
        if (target == nullptr)
            log_messagef(LOG_LEVEL_INFO, "== %ssocket broken === status_rcv:%d\n",
                         route.source.mode == CONN_MODE_RENDEZVOUS ? "rendezvous " : "",
                         (int)state);
        drop_broken_base(route, target, sock);
    }
}

// The route's calling and rendezvous base sockets, reported or not: one that
// connected or broke before it was watched raised no event. O(targets).
// Caller holds route.lock.
static void check_base_sockets(route_t &route, handler_pass_t &pass)
{
    check_base_socket(route, nullptr, pass);
    for (target_t &target : route.targets)
        check_base_socket(route, &target, pass);
}

// A source-side socket was reported. Caller holds route.lock.
static void handle_source_socket(route_t &route, int sock, handler_pass_t &pass)
{
    if (sock == route.basesockin) {
        check_base_socket(route, nullptr, pass);
        return;
    }
    // A caller of a listening source: only its break matters here.
    if (socket_is_broken(srt_getsockstate(sock))) {
        remove_connection_locked(&route, nullptr, sock, -1);
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
    }
}

// A target-side socket of target was reported. Caller holds route.lock.
static void handle_target_socket(route_t &route, target_t &target, int sock, handler_pass_t &pass)
{
    if (sock == target.basesockout)
        check_base_socket(route, &target, pass);
    else if (socket_is_broken(srt_getsockstate(sock)))
        remove_connection_locked(&route, &target, -1, sock);
}

// When the loop should look at the route again (UINT64_MAX: only on an event).
// Caller holds route.lock.
static uint64_t next_look(route_t &route, const handler_pass_t &pass)
{
    uint64_t now = monotonic_ms();
    uint64_t wait = next_redial_wait(route);
    if (pass.retry_later && wait > RETRY_LATER_MS)
        wait = RETRY_LATER_MS;
    return wait == UINT64_MAX ? UINT64_MAX : now + wait;
}

void handle_route_socket(route_t &route, SRTSOCKET sock, int32_t target_id)
{
    handler_pass_t pass = {false};
    pthread_mutex_lock(&route.lock);
    if (route.running == 0) {
        pthread_mutex_unlock(&route.lock);
        return;
    }
    if (check_held_socket(route, sock)) {
        // Held for the authorizer: only its break matters.
    } else if (target_id == -1) {
        if (sock == route.basesockin || conns_contain(route.conns, sock))
            handle_source_socket(route, sock, pass);
    } else {
        for (target_t &target : route.targets) {
            if (target.id != target_id)
                continue;
            if (sock == target.basesockout || conns_contain(target.conns, sock))
                handle_target_socket(route, target, sock, pass);
            break;
        }
    }
    uint64_t next = next_look(route, pass);
    pthread_mutex_unlock(&route.lock);
    if (next != UINT64_MAX)
        schedule_route_check(route, next);
}

uint64_t service_route(route_t &route)
{
    handler_pass_t pass = {false};
    pthread_mutex_lock(&route.lock);
    uint64_t next = UINT64_MAX;
    if (route.running != 0) {
        check_base_sockets(route, pass);
        redial_due_endpoints(route);
        next = next_look(route, pass);
    }
    pthread_mutex_unlock(&route.lock);
    return next;
}
