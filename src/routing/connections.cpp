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

bool conns_contain(const std::list<conn_socket_t> &conns, int sock)
{
    for (const conn_socket_t &conn : conns)
        if (conn.sock == sock)
            return true;
    return false;
}

// Appends sock to conns unless it is there. Caller holds route.lock.
static void append_conn(route_t *route, std::list<conn_socket_t> &conns, int sock)
{
    std::list<conn_socket_t> fresh;
    fresh.emplace_back().sock = sock;
    pthread_mutex_lock(&route->list_lock);
    if (!conns_contain(conns, sock))
        conns.splice(conns.end(), fresh);
    pthread_mutex_unlock(&route->list_lock);
}

// Erases sock from conns; returns true when it was listed. Caller holds route.lock.
static bool erase_conn(route_t *route, std::list<conn_socket_t> &conns, int sock)
{
    std::list<conn_socket_t> gone;
    pthread_mutex_lock(&route->list_lock);
    for (auto it = conns.begin(); it != conns.end(); ++it) {
        if (it->sock == sock) {
            gone.splice(gone.end(), conns, it);
            break;
        }
    }
    pthread_mutex_unlock(&route->list_lock);
    return !gone.empty();
}

void add_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock)
{
    if (source_sock != -1) {
        append_conn(route, route->conns, source_sock);
        watch_connected_socket(*route, source_sock);
    }
    if (target_sock != -1 && target != nullptr) {
        append_conn(route, target->conns, target_sock);
        watch_connected_socket(*route, target_sock);
    }
}

void remove_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock)
{
    if (source_sock != -1 && erase_conn(route, route->conns, source_sock)) {
        srt_close(source_sock);
        log_message(LOG_LEVEL_INFO, "[CONNTHREAD] source has disconnected\n");
        return;
    }
    if (target_sock != -1 && target != nullptr && erase_conn(route, target->conns, target_sock)) {
        srt_close(target_sock);
        log_message(LOG_LEVEL_INFO, "[CONNTHREAD] target has disconnected\n");
    }
}

void add_connection(route_t *route, target_t *target, int source_sock, int target_sock)
{
    pthread_mutex_lock(&route->lock);
    add_connection_locked(route, target, source_sock, target_sock);
    pthread_mutex_unlock(&route->lock);
}

void remove_connection(route_t *route, target_t *target, int source_sock, int target_sock)
{
    pthread_mutex_lock(&route->lock);
    remove_connection_locked(route, target, source_sock, target_sock);
    pthread_mutex_unlock(&route->lock);
}

// Lets the caller in when the endpoint has no stream id, or the caller presents
// exactly that one.
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

// Accepts one caller on listener and applies the stream id gate. Returns the
// admitted socket with its peer text in host/service, or -1.
static int accept_caller(int listener, const char *streamid, bool log_options, char *host,
                         size_t host_size, char *service, size_t service_size)
{
    struct sockaddr_storage peer;
    int peer_len = 128;
    int sock = srt_accept(listener, (struct sockaddr *)&peer, &peer_len);
    if (sock == SRT_INVALID_SOCK)
        return -1;
    if (socket_is_broken(srt_getsockstate(sock))) {
        srt_close(sock);
        return -1;
    }
    if (log_options)
        log_caller_options(sock);
    if (!stream_id_admits(sock, streamid)) {
        srt_close(sock);
        return -1;
    }
    int live = SRTT_LIVE;
    srt_setsockflag(sock, SRTO_TRANSTYPE, &live, sizeof live);
    host[0] = '\0';
    service[0] = '\0';
    getnameinfo((struct sockaddr *)&peer, (socklen_t)peer_len, host, (socklen_t)host_size, service,
                (socklen_t)service_size, NI_NUMERICHOST | NI_NUMERICSERV);
    return sock;
}

// Per-pass state of the handler.
struct handler_pass_t {
    bool rebuild_failed;  // a broken socket stays: slow the next pass down
    bool listener_paused; // source listener not watched while a source is active
};

// Replaces a broken calling or rendezvous source socket. Caller holds route.lock.
static void rebuild_source(route_t &route, int broken, handler_pass_t &pass)
{
    int fresh = create_srt_socket(&route.source);
    if (fresh == -1) {
        log_messagef(LOG_LEVEL_INFO, "create_srt_socket failed: %s\n", srt_getlasterror_str());
        pass.rebuild_failed = true;
        return;
    }
    if (register_source_socket(route, fresh, false) == -1) {
        log_messagef(LOG_LEVEL_INFO, "srt_epoll_add_usock failed: %s\n", srt_getlasterror_str());
        srt_close(fresh);
        pass.rebuild_failed = true;
        return;
    }
    route.basesockin = fresh;
    int expected = broken;
    route.active_source.compare_exchange_strong(expected, -1);
    unregister_source_socket(route, broken);
    remove_connection_locked(&route, nullptr, broken, -1);
    srt_close(broken);
}

// The relay's rendezvous source socket is checked every pass, whether reported or not.
static void check_rendezvous_source(route_t &route, handler_pass_t &pass)
{
    pthread_mutex_lock(&route.lock);
    if (route.source.mode == CONN_MODE_RENDEZVOUS && route.source.enabled) {
        int sock = route.basesockin;
        SRT_SOCKSTATUS state = srt_getsockstate(sock);
        if (state == SRTS_CONNECTED) {
            add_connection_locked(&route, nullptr, sock, -1);
        } else if (socket_is_broken(state)) {
            log_messagef(LOG_LEVEL_INFO, "== rendezvous socket broken === status_rcv:%d\n",
                         (int)state);
            rebuild_source(route, sock, pass);
        }
    }
    pthread_mutex_unlock(&route.lock);
}

// A source-side socket was reported. Returns -1 when the thread must end.
// Caller holds route.lock.
static int handle_source_socket(route_t &route, int sock, handler_pass_t &pass)
{
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    if (route.source.mode != CONN_MODE_LISTEN) {
        if (state == SRTS_CONNECTED) {
            add_connection_locked(&route, nullptr, sock, -1);
        } else if (socket_is_broken(state)) {
            log_messagef(LOG_LEVEL_INFO, "== socket broken === status_rcv:%d\n", (int)state);
            rebuild_source(route, sock, pass);
        }
        return 0;
    }

    if (socket_is_broken(state)) {
        remove_connection_locked(&route, nullptr, sock, -1);
        route.active_source = -1;
        // A broken listener is not rebuilt; stop watching it so the wait sleeps.
        if (sock == route.basesockin)
            srt_epoll_remove_usock(route.epoll_conn, sock);
        return 0;
    }
    if (sock != route.basesockin)
        return 0;
    if (state != SRTS_LISTENING) {
        log_message(LOG_LEVEL_ERR,
                    "[CONNTHREAD] basesockin->status != SRTS_LISTENING, stopping thread...\n");
        return -1;
    }
    if (route.active_source != -1) {
        // Callers wait in the backlog; watching the listener now would wake us for nothing.
        int errors_only = SRT_EPOLL_ERR;
        srt_epoll_update_usock(route.epoll_conn, sock, &errors_only);
        pass.listener_paused = true;
        return 0;
    }
    char host[1025];
    char service[32];
    int caller = accept_caller(sock, route.source.streamid, true, host, sizeof host, service,
                               sizeof service);
    if (caller == -1)
        return 0;
    log_messagef(LOG_LEVEL_INFO, "[CONNTHREAD] New source: %s:%s\n", host, service);
    if (register_source_socket(route, caller, true) == -1) {
        log_messagef(LOG_LEVEL_ERR,
                     "[CONNTHREAD] rcv srt_epoll_add_usock: %s; stopping thread...\n",
                     srt_getlasterror_str());
        srt_close(caller);
        return -1;
    }
    add_connection_locked(&route, nullptr, caller, -1);
    return 0;
}

// Replaces a broken calling or rendezvous target socket. Caller holds route.lock.
static void rebuild_target(route_t &route, target_t &target, int broken)
{
    remove_connection_locked(&route, &target, -1, broken);
    unregister_target_socket(route, broken);
    srt_close(broken);
    target.basesockout = -1;
    int fresh = create_srt_socket(&target.endpoint);
    if (fresh == -1) {
        log_messagef(LOG_LEVEL_INFO, "create_srt_socket failed: %s\n", srt_getlasterror_str());
        return;
    }
    if (register_target_socket(route, fresh, false) == -1) {
        log_messagef(LOG_LEVEL_INFO, "srt_epoll_add_usock failed: %s\n", srt_getlasterror_str());
        srt_close(fresh);
        return;
    }
    target.basesockout = fresh;
}

// A target-side socket of target was reported. Returns -1 when the thread must
// end. Caller holds route.lock.
static int handle_target_socket(route_t &route, target_t &target, int sock)
{
    SRT_SOCKSTATUS state = srt_getsockstate(sock);
    if (target.endpoint.mode != CONN_MODE_LISTEN) {
        if (state == SRTS_CONNECTED)
            add_connection_locked(&route, &target, -1, sock);
        else if (socket_is_broken(state))
            rebuild_target(route, target, sock);
        return 0;
    }

    bool listed = conns_contain(target.conns, sock);
    if (socket_is_broken(state)) {
        remove_connection_locked(&route, &target, -1, sock);
        if (sock == target.basesockout)
            srt_epoll_remove_usock(route.epoll_conn, sock);
        return 0;
    }
    if (listed)
        return 0;
    if (sock == target.basesockout && state != SRTS_LISTENING) {
        log_messagef(LOG_LEVEL_ERR,
                     "[CONNTHREAD] basesockout->status != SRTS_LISTENING, stopping thread...%d\n",
                     (int)state);
        return 0;
    }
    char host[1025];
    char service[32];
    int caller = accept_caller(sock, target.endpoint.streamid, false, host, sizeof host, service,
                               sizeof service);
    if (caller == -1)
        return 0;
    log_messagef(LOG_LEVEL_INFO, "[CONNTHREAD] New target: %s:%s\n", host, service);
    if (register_target_socket(route, caller, true) == -1) {
        log_messagef(LOG_LEVEL_ERR,
                     "[CONNTHREAD] snd srt_epoll_add_usock: %s; stopping thread...\n",
                     srt_getlasterror_str());
        srt_close(caller);
        return -1;
    }
    add_connection_locked(&route, &target, -1, caller);
    return 0;
}

// Finds whose socket sock is and handles it. Returns -1 when the thread must end.
static int handle_reported_socket(route_t &route, int sock, handler_pass_t &pass)
{
    int result = 0;
    pthread_mutex_lock(&route.lock);
    if (sock == route.basesockin || conns_contain(route.conns, sock)) {
        result = handle_source_socket(route, sock, pass);
    } else {
        for (target_t &target : route.targets) {
            if (sock == target.basesockout || conns_contain(target.conns, sock)) {
                result = handle_target_socket(route, target, sock);
                break;
            }
        }
    }
    pthread_mutex_unlock(&route.lock);
    return result;
}

// Watches the source listener again once no source is active. Callers that
// queued meanwhile raised no event, so one accept is tried at once.
static int resume_source_listener(route_t &route, handler_pass_t &pass)
{
    if (!pass.listener_paused || route.active_source != -1)
        return 0;
    pass.listener_paused = false;
    int result = 0;
    pthread_mutex_lock(&route.lock);
    int listener = route.basesockin;
    if (listener != -1 && route.source.mode == CONN_MODE_LISTEN) {
        int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_update_usock(route.epoll_conn, listener, &events);
        result = handle_source_socket(route, listener, pass);
    }
    pthread_mutex_unlock(&route.lock);
    return result;
}

void *router_connections_handler(void *arg)
{
    route_t &route = *static_cast<route_t *>(arg);
    route.conn_thread_done = 0;
    SRT_EPOLL_EVENT events[CONN_EVENTS_MAX];
    handler_pass_t pass = {false, false};
    bool fatal = false;

    while (route.running != 0 && !fatal) {
        pass.rebuild_failed = false;
        check_rendezvous_source(route, pass);
        if (resume_source_listener(route, pass) == -1) {
            fatal = true;
            break;
        }
        int count = srt_epoll_uwait(route.epoll_conn, events, CONN_EVENTS_MAX, CONN_WAIT_MS);
        for (int i = 0; i < count && i < CONN_EVENTS_MAX && !fatal; i++)
            fatal = handle_reported_socket(route, events[i].fd, pass) == -1;
        // A broken socket that could not be rebuilt stays reported; retry calmly.
        if (count < 0 || pass.rebuild_failed)
            usleep(CONN_WAIT_MS * 1000);
    }
    // Last touch of the record: it may be destroyed once this is set.
    route.conn_thread_done = 1;
    if (!fatal)
        log_message(LOG_LEVEL_INFO, "=== end router_connections_handler");
    return nullptr;
}
