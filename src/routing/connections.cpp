// The connection handler thread of a route and the connection lists it keeps.
#include "routing/connections.h"

#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "srt/socket.h"

// Room for one wait: the source side (100) and the target side (1000) together.
#define CONN_EVENTS_MAX 1100
#define CONN_WAIT_MS 100
// A quiet route's handler sleeps this long at most between looks...
#define QUIET_WAIT_MS 1000
// ...and stays awake this long after its doorbell rang, for the knocking
// caller's handshake to end in the listener's backlog.
#define KNOCK_AWAKE_MS 2000

bool conns_contain(const std::list<conn_socket_t> &conns, int sock)
{
    for (const conn_socket_t &conn : conns)
        if (conn.sock == sock)
            return true;
    return false;
}

static void peer_text(const struct sockaddr *peer, int peer_len, char *out, size_t size)
{
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    out[0] = '\0';
    if (getnameinfo(peer, (socklen_t)peer_len, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        snprintf(out, size, "%s:%s", host, service);
}

// What the connections view shows of sock, read from libsrt once, before listing.
static void read_details(SRTSOCKET sock, bool source_side, conn_mode_t mode,
                         conn_details_t &details)
{
    struct sockaddr_storage peer;
    int peer_len = (int)sizeof peer;
    if (srt_getpeername(sock, (struct sockaddr *)&peer, &peer_len) != SRT_ERROR)
        peer_text((struct sockaddr *)&peer, peer_len, details.peer, sizeof details.peer);
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
    if ((source_side ? watch_source_connection(*route, sock) : watch_socket(*route, sock)) == -1)
        return -1;

    std::list<conn_socket_t> fresh;
    conn_socket_t &conn = fresh.emplace_back();
    conn.sock = sock;
    read_details(sock, source_side, source_side ? route->source.mode : target->endpoint.mode,
                 conn.details);
    pthread_mutex_lock(&route->list_lock);
    conns.splice(conns.end(), fresh);
    route->accepted[source_side ? SIDE_SOURCE : SIDE_TARGET]++;
    if (source_side)
        pthread_cond_signal(&route->source_listed);
    pthread_mutex_unlock(&route->list_lock);
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
                        int sock, connection_side_t side)
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
        conns.erase(it);
        break;
    }
    pthread_mutex_unlock(&route.list_lock);
    return true;
}

bool remove_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock)
{
    if (source_sock != -1 &&
        retire_conn(*route, route->conns, route->closed_sources, source_sock, SIDE_SOURCE)) {
        unwatch_socket(*route, source_sock);
        srt_close(source_sock);
        log_message(LOG_LEVEL_INFO, "[CONNTHREAD] source has disconnected\n");
        return true;
    }
    if (target_sock != -1 && target != nullptr &&
        retire_conn(*route, target->conns, target->closed, target_sock, SIDE_TARGET)) {
        unwatch_socket(*route, target_sock);
        srt_close(target_sock);
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
    if (conns_contain(route.conns, sock)) {
        if (route.source.mode != CONN_MODE_LISTEN)
            return -1;
        remove_connection_locked(&route, nullptr, sock, -1);
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
        return 0;
    }
    for (target_t &target : route.targets) {
        if (!conns_contain(target.conns, sock))
            continue;
        if (target.endpoint.mode != CONN_MODE_LISTEN)
            return -1;
        remove_connection_locked(&route, &target, -1, sock);
        return 0;
    }
    return -1;
}

// Lets the caller in when the endpoint has no stream id, or the caller presents
// exactly that one. Listeners with a stream id refuse others at the handshake
// already; this is the second line.
static bool stream_id_admits(int sock, const char *expected)
{
    if (expected[0] == '\0')
        return true;
    char streamid[1024];
    memset(streamid, 0, sizeof streamid);
    int len = (int)sizeof streamid;
    if (srt_getsockopt(sock, 0, SRTO_STREAMID, streamid, &len) == SRT_ERROR)
        return false;
    log_messagef(LOG_LEVEL_INFO, "==== SRTO_STREAMID:%s, len:%d\n", streamid, len);
    return streamid[0] != '\0' && strcmp(streamid, expected) == 0;
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
 * Accepts one caller on listener, applies the stream id gate and lists it on
 * the side's conns, watched on the route's epolls. A caller that cannot be
 * watched is closed and logged; the route carries on serving the others.
 * Caller holds route.lock.
 */
static void accept_caller(route_t &route, target_t *target, int listener)
{
    connection_side_t side = target == nullptr ? SIDE_SOURCE : SIDE_TARGET;
    struct sockaddr_storage peer;
    int peer_len = 128;
    int sock = srt_accept(listener, (struct sockaddr *)&peer, &peer_len);
    if (sock == SRT_INVALID_SOCK)
        return;
    if (socket_is_broken(srt_getsockstate(sock))) {
        srt_close(sock);
        count_refusal(route, side, REFUSED_BROKEN);
        return;
    }
    if (side == SIDE_SOURCE)
        log_caller_options(sock);
    if (!stream_id_admits(sock, side == SIDE_SOURCE ? route.source.streamid
                                                    : target->endpoint.streamid)) {
        srt_close(sock);
        count_refusal(route, side, REFUSED_STREAMID);
        return;
    }
    int live = SRTT_LIVE;
    srt_setsockflag(sock, SRTO_TRANSTYPE, &live, sizeof live);
    char text[NI_MAXHOST + NI_MAXSERV + 2];
    peer_text((struct sockaddr *)&peer, peer_len, text, sizeof text);
    log_messagef(LOG_LEVEL_INFO, "[CONNTHREAD] New %s: %s\n",
                 side == SIDE_SOURCE ? "source" : "target", text);
    if (list_socket(route, target, sock) == -1) {
        log_messagef(LOG_LEVEL_ERR, "[CONNTHREAD] %s srt_epoll_add_usock: %s; caller closed\n",
                     side == SIDE_SOURCE ? "rcv" : "snd", srt_getlasterror_str());
        unwatch_socket(route, sock);
        srt_close(sock);
        count_refusal(route, side, REFUSED_REGISTER);
    }
}

// Per-pass state of the handler.
struct handler_pass_t {
    bool retry_later;     // something failed and is still reported: slow the next pass down
    bool listener_paused; // source listener not watched while a source is active
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
// failure is logged and tried again after the back-off. Caller holds route.lock.
static void redial_endpoint(route_t &route, target_t *target)
{
    endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    socket_owner_t owner = socket_owner(route, target != nullptr ? target->id : -1);
    int sock = create_srt_socket(&endpoint, &owner);
    char why[LOG_MESSAGE_SIZE / 2] = "";
    if (sock == -1) {
        snprintf(why, sizeof why, "%s", last_socket_error());
    } else if (watch_socket(route, sock) == -1) {
        snprintf(why, sizeof why, "srt_epoll_add_usock: %s", srt_getlasterror_str());
        srt_close(sock);
        sock = -1;
    }
    if (sock == -1) {
        log_redial(route, target, why, schedule_redial(redial));
        return;
    }
    if (target != nullptr)
        target->basesockout = sock;
    else
        route.basesockin = sock;
}

// Whether an endpoint waits for a redial, and in how many ms it is due (0: now).
static bool redial_pending(const redial_t &redial, int base, uint64_t now, uint64_t *wait_ms)
{
    if (!redial.wanted || base != -1)
        return false;
    *wait_ms = redial.due_ms > now ? redial.due_ms - now : 0;
    return true;
}

// The wait until the first pending redial of the route (UINT64_MAX: none).
// Caller holds route.lock.
static uint64_t next_redial_wait(route_t &route)
{
    uint64_t now = monotonic_ms(), wait = 0, next = UINT64_MAX;
    if (redial_pending(route.source_redial, route.basesockin, now, &wait))
        next = wait;
    for (const target_t &target : route.targets)
        if (redial_pending(target.redial, target.basesockout, now, &wait) && wait < next)
            next = wait;
    return next;
}

// Redials every endpoint whose time has come. Returns the wait until the next
// pending one, those that failed again just now included.
static uint64_t redial_due_endpoints(route_t &route)
{
    pthread_mutex_lock(&route.lock);
    uint64_t now = monotonic_ms(), wait = 0;
    if (redial_pending(route.source_redial, route.basesockin, now, &wait) && wait == 0)
        redial_endpoint(route, nullptr);
    for (target_t &target : route.targets)
        if (redial_pending(target.redial, target.basesockout, now, &wait) && wait == 0)
            redial_endpoint(route, &target);
    uint64_t next = next_redial_wait(route);
    pthread_mutex_unlock(&route.lock);
    return next;
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

// The relay's rendezvous source socket is checked every pass, whether reported or not.
static void check_rendezvous_source(route_t &route, handler_pass_t &pass)
{
    pthread_mutex_lock(&route.lock);
    int sock = route.basesockin;
    if (route.source.mode == CONN_MODE_RENDEZVOUS && route.source.enabled && sock != -1) {
        SRT_SOCKSTATUS state = srt_getsockstate(sock);
        if (state == SRTS_CONNECTED) {
            list_connected(route, nullptr, sock, pass);
        } else if (socket_is_broken(state)) {
            log_messagef(LOG_LEVEL_INFO, "== rendezvous socket broken === status_rcv:%d\n",
                         (int)state);
            drop_broken_base(route, nullptr, sock);
        }
    }
    pthread_mutex_unlock(&route.lock);
}

// A source-side socket was reported. Caller holds route.lock.
static void handle_source_socket(route_t &route, int sock, handler_pass_t &pass)
{
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    if (route.source.mode != CONN_MODE_LISTEN) {
        if (state == SRTS_CONNECTED) {
            list_connected(route, nullptr, sock, pass);
        } else if (socket_is_broken(state)) {
            log_messagef(LOG_LEVEL_INFO, "== socket broken === status_rcv:%d\n", (int)state);
            drop_broken_base(route, nullptr, sock);
        }
        return;
    }

    if (socket_is_broken(state)) {
        remove_connection_locked(&route, nullptr, sock, -1);
        // Only the active one's loss frees the route: a standby that breaks changes nothing.
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
        // A broken listener is not rebuilt; stop watching it so the wait sleeps.
        if (sock == route.basesockin)
            unwatch_socket(route, sock);
        return;
    }
    if (sock != route.basesockin)
        return;
    if (state != SRTS_LISTENING) {
        // Not listening and not broken: nothing to accept on it until the source
        // is reconfigured, and the route's connections carry on meanwhile.
        log_message(LOG_LEVEL_ERR,
                    "[CONNTHREAD] basesockin->status != SRTS_LISTENING, no longer watched\n");
        unwatch_socket(route, sock);
        return;
    }
    if (route.active_source != -1 && route.source.failover_ms == 0) {
        // Callers wait in the backlog; watching the listener now would wake us for nothing.
        // With failover they are taken at once: a standby must deliver to take over.
        int errors_only = SRT_EPOLL_ERR;
        srt_epoll_update_usock(route.epoll_conn, sock, &errors_only);
        pass.listener_paused = true;
        return;
    }
    accept_caller(route, nullptr, sock);
}

// A target-side socket of target was reported. Caller holds route.lock.
static void handle_target_socket(route_t &route, target_t &target, int sock, handler_pass_t &pass)
{
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    if (target.endpoint.mode != CONN_MODE_LISTEN) {
        if (state == SRTS_CONNECTED)
            list_connected(route, &target, sock, pass);
        else if (socket_is_broken(state))
            drop_broken_base(route, &target, sock);
        return;
    }

    if (socket_is_broken(state)) {
        remove_connection_locked(&route, &target, -1, sock);
        if (sock == target.basesockout)
            unwatch_socket(route, sock);
        return;
    }
    if (conns_contain(target.conns, sock))
        return;
    if (sock == target.basesockout && state != SRTS_LISTENING) {
        log_messagef(LOG_LEVEL_ERR,
                     "[CONNTHREAD] basesockout->status != SRTS_LISTENING, stopping thread...%d\n",
                     (int)state);
        return;
    }
    accept_caller(route, &target, sock);
}

// Finds whose socket sock is and handles it.
static void handle_reported_socket(route_t &route, int sock, handler_pass_t &pass)
{
    pthread_mutex_lock(&route.lock);
    if (sock == route.basesockin || conns_contain(route.conns, sock)) {
        handle_source_socket(route, sock, pass);
    } else {
        for (target_t &target : route.targets) {
            if (sock == target.basesockout || conns_contain(target.conns, sock)) {
                handle_target_socket(route, target, sock, pass);
                break;
            }
        }
    }
    pthread_mutex_unlock(&route.lock);
}

// Watches the source listener again once no source is active. Callers that
// queued meanwhile raised no event, so one accept is tried at once.
static void resume_source_listener(route_t &route, handler_pass_t &pass)
{
    if (!pass.listener_paused || route.active_source != -1)
        return;
    pass.listener_paused = false;
    pthread_mutex_lock(&route.lock);
    int listener = route.basesockin;
    if (listener != -1 && route.source.mode == CONN_MODE_LISTEN) {
        int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_update_usock(route.epoll_conn, listener, &events);
        handle_source_socket(route, listener, pass);
    }
    pthread_mutex_unlock(&route.lock);
}

// No socket (a pending redial bounds the sleep), a listener, or a listener that
// broke (nothing is done for it). A broken calling or rendezvous socket is
// dropped by the passes, so it is not quiet.
static bool base_socket_is_quiet(int sock, conn_mode_t mode)
{
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    return sock == -1 || state == SRTS_LISTENING ||
           (mode == CONN_MODE_LISTEN && socket_is_broken(state));
}

/*
 * True when nothing the handler watches can change but by a caller knocking on
 * a listener: no connection, and no base socket connecting. libsrt wakes every
 * thread waiting in an epoll every 10 ms, so the handler of such a route sleeps
 * on its doorbell instead.
 */
static bool route_is_quiet(route_t &route)
{
    pthread_mutex_lock(&route.lock);
    bool quiet = route.conns.empty() && base_socket_is_quiet(route.basesockin, route.source.mode);
    for (const target_t &target : route.targets)
        quiet = quiet && target.conns.empty() &&
                base_socket_is_quiet(target.basesockout, target.endpoint.mode);
    pthread_mutex_unlock(&route.lock);
    return quiet;
}

/*
 * The handler never ends on its own: a socket it cannot serve is closed or left
 * alone and logged, so a route whose source is enabled always has its handler.
 */
void *router_connections_handler(void *arg)
{
    route_t &route = *static_cast<route_t *>(arg);
    route.conn_thread_done = 0;
    SRT_EPOLL_EVENT events[CONN_EVENTS_MAX];
    handler_pass_t pass = {false, false};
    uint64_t awake_until = 0;

    while (route.running != 0) {
        pass.retry_later = false;
        check_rendezvous_source(route, pass);
        resume_source_listener(route, pass);
        uint64_t redial_wait = redial_due_endpoints(route);
        if (now_ms() >= awake_until && route_is_quiet(route)) {
            int wait = redial_wait < QUIET_WAIT_MS ? (int)redial_wait : QUIET_WAIT_MS;
            if (wait_doorbell(*route.doorbell, wait))
                awake_until = now_ms() + KNOCK_AWAKE_MS;
            continue;
        }
        int count = srt_epoll_uwait(route.epoll_conn, events, CONN_EVENTS_MAX, CONN_WAIT_MS);
        for (int i = 0; i < count && i < CONN_EVENTS_MAX; i++)
            handle_reported_socket(route, events[i].fd, pass);
        // A socket that could not be rebuilt or listed stays reported; retry calmly.
        if (count < 0 || pass.retry_later)
            usleep(CONN_WAIT_MS * 1000);
    }
    log_message(LOG_LEVEL_INFO, "=== end router_connections_handler");
    // Last touch of the record: it may be destroyed once this is set.
    route.conn_thread_done = 1;
    return nullptr;
}
