// Callers held while the authorizer decides: nothing is forwarded to or from them until allowed.
#include "routing/held_callers.h"

#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "core/events.h"
#include "core/log.h"
#include "routing/connections.h"
#include "routing/event_loop.h"
#include "srt/socket.h"

// The endpoint registration a held caller of target_id must still match.
static int64_t current_registration(route_t &route, int32_t target_id, target_t **target)
{
    *target = nullptr;
    if (target_id == -1)
        return route.source_listen;
    for (target_t &candidate : route.targets)
        if (candidate.id == target_id) {
            *target = &candidate;
            return candidate.listen;
        }
    return 0;
}

// Closes a caller the hook turned away or that went: off the loop, off its port's count.
// Caller holds route.lock.
static void close_caller(route_t &route, SRTSOCKET sock)
{
    unwatch_socket(route, sock);
    srt_close(sock);
    forget_port_caller(sock);
}

// A denied or failed check closes the caller: counted, reported, logged (folded).
// Caller holds route.lock.
static void close_denied(route_t &route, const held_caller_t &held, const auth_decision_t &decision)
{
    close_caller(route, held.conn.sock);
    connection_side_t side = held.target_id == -1 ? SIDE_SOURCE : SIDE_TARGET;
    pthread_mutex_lock(&route.list_lock);
    route.refused[side][REFUSED_AUTH]++;
    pthread_mutex_unlock(&route.list_lock);
    emit_event(EVENT_AUTH_DENIED,
               {route.id, held.target_id, held.conn.details.peer, held.conn.details.stream_id},
               {{"reason", decision.error ? "error" : "denied"}, {"code", decision.status}});
    log_auth_denial(route.id, held.target_id, held.conn.details.peer, decision);
}

bool hold_for_authorization(route_t &route, target_t *target, const handed_caller_t &caller)
{
    if (!authorization_enabled())
        return false;
    held_caller_t held;
    held.target_id = caller.target_id;
    held.registration = caller.registration;
    conn_details_t &details = held.conn.details;
    SRTSOCKET sock = caller.sock;
    held.conn.sock = sock;
    struct sockaddr_storage address;
    int length = (int)sizeof address;
    if (srt_getpeername(sock, (struct sockaddr *)&address, &length) != SRT_ERROR)
        format_peer_address((struct sockaddr *)&address, length, details.peer, sizeof details.peer);
    char streamid[ENDPOINT_STREAMID_SIZE + 8] = "";
    length = (int)sizeof streamid - 1;
    if (srt_getsockflag(sock, SRTO_STREAMID, streamid, &length) != SRT_ERROR)
        snprintf(details.stream_id, sizeof details.stream_id, "%.*s", length, streamid);
    details.connected_at = time(nullptr);
    details.mode = CONN_MODE_LISTEN;
    int port = 0;
    length = (int)sizeof address;
    if (srt_getsockname(sock, (struct sockaddr *)&address, &length) != SRT_ERROR)
        port = ntohs(address.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&address)->sin6_port
                                                   : ((struct sockaddr_in *)&address)->sin_port);

    auth_check_t check = {
        sock, target == nullptr, route.id, caller.target_id, details.stream_id, details.peer, port};
    auth_decision_t now;
    auth_verdict_t verdict = request_authorization(check, now);
    if (verdict == AUTH_ALLOWED)
        return false;
    if (verdict == AUTH_DENIED) {
        close_denied(route, held, now);
        return true;
    }
    // Its break is all the loop hears of it until the decision.
    if (watch_held_socket(route, sock, caller.target_id) != 0) {
        close_caller(route, sock);
        return true;
    }
    std::list<held_caller_t> fresh;
    fresh.push_back(held);
    pthread_mutex_lock(&route.list_lock);
    route.held.splice(route.held.end(), fresh);
    pthread_mutex_unlock(&route.list_lock);
    return true;
}

// Takes the held caller sock off the route's list into out. Caller holds route.lock.
static bool unhold(route_t &route, SRTSOCKET sock, held_caller_t &out)
{
    for (auto it = route.held.begin(); it != route.held.end(); ++it) {
        if (it->conn.sock != sock)
            continue;
        out = *it;
        pthread_mutex_lock(&route.list_lock);
        route.held.erase(it);
        pthread_mutex_unlock(&route.list_lock);
        return true;
    }
    return false;
}

void settle_held_caller(route_t &route, const auth_decision_t &decision)
{
    pthread_mutex_lock(&route.lock);
    held_caller_t held;
    if (!unhold(route, decision.sock, held)) {
        pthread_mutex_unlock(&route.lock);
        return;
    }
    SRTSOCKET sock = held.conn.sock;
    target_t *target = nullptr;
    int64_t registration = current_registration(route, held.target_id, &target);
    bool source = held.target_id == -1;
    if (route.running == 0 || registration == 0 || registration != held.registration ||
        socket_is_broken(srt_getsockstate(sock))) {
        close_caller(route, sock);
    } else if (!decision.allowed) {
        close_denied(route, held, decision);
    } else if (add_connection_locked(&route, target, source ? sock : -1, source ? -1 : sock) ==
               -1) {
        close_caller(route, sock);
        pthread_mutex_lock(&route.list_lock);
        route.refused[source ? SIDE_SOURCE : SIDE_TARGET][REFUSED_REGISTER]++;
        pthread_mutex_unlock(&route.list_lock);
    } else if (socket_is_broken(srt_getsockstate(sock))) {
        // Broke while it was being listed: it raised no event since.
        remove_connection_locked(&route, target, source ? sock : -1, source ? -1 : sock);
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
    }
    pthread_mutex_unlock(&route.lock);
}

bool check_held_socket(route_t &route, SRTSOCKET sock)
{
    bool held = false;
    for (const held_caller_t &candidate : route.held)
        held = held || candidate.conn.sock == sock;
    if (!held)
        return false;
    held_caller_t gone;
    if (socket_is_broken(srt_getsockstate(sock)) && unhold(route, sock, gone))
        close_caller(route, sock);
    return true;
}
