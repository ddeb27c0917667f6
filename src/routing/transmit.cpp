// The transmit thread of a route: the data path.
#include "routing/transmit.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <srt/srt.h>

#include "core/log.h"
#include "routing/registry.h"

#define RECEIVE_READY_MAX 100
#define MESSAGE_SIZE 1500
#define RECEIVE_WAIT_MS 100
// An idle route's thread sleeps on its condition; the wake-up bounds how late a
// missed signal could be noticed.
#define IDLE_WAIT_MS 5000
// With failover the standbys are read this often, which also bounds how late a
// silent active source is noticed.
#define STANDBY_CHECK_MS 20
// A standby takes over only when it delivered this recently.
#define STANDBY_FRESH_MS 100
// Messages read from one standby per check, so that a burst cannot hold up the active one.
#define STANDBY_DRAIN_MAX 256

static conn_socket_t *find_conn(std::list<conn_socket_t> &conns, SRTSOCKET sock)
{
    for (conn_socket_t &conn : conns)
        if (conn.sock == sock)
            return &conn;
    return nullptr;
}

// Per-thread buffers, kept off the heap and reused for every message.
struct transmit_buffers_t {
    SRTSOCKET readable[RECEIVE_READY_MAX];
    char message[MESSAGE_SIZE];
    // Filled by each receive: srctime is the time libsrt played the message at.
    SRT_MSGCTRL received;
    // Failover: the standby source connections of one check and what each delivered.
    SRTSOCKET standby[RECEIVE_READY_MAX];
    int64_t standby_bytes[RECEIVE_READY_MAX];
};

// Counts the outcome of one send on conn. A send that would block fails with
// SRT_EASYNCSND and is counted as dropped for that connection only.
static inline void count_send(conn_socket_t &conn, int sent)
{
    if (sent > 0)
        conn.sent_delta += sent;
    else if (srt_getlasterror(nullptr) == SRT_EASYNCSND)
        conn.dropped++;
}

/*
 * Sends one message to every connection of a target with source time, stamped with
 * its origin (clock of srt_time_now, us). libsrt refuses an origin earlier than the
 * connection's start, so a connection starts with the first message whose origin is
 * not earlier, and from then on takes every one: an origin that would still fall
 * before its start is raised to it, so the run has no gap and never goes out without
 * a time. Caller holds route.list_lock. Cost: O(connections), one send each.
 */
static void send_with_origin(target_t &target, const char *message, int length, int64_t origin)
{
    SRT_MSGCTRL stamped = srt_msgctrl_default;
    stamped.msgttl = -1;
    stamped.inorder = 1;
    for (conn_socket_t &conn : target.conns) {
        int64_t start = conn.details.start_us;
        if (!conn.source_time_started) {
            if (origin < start)
                continue;
            conn.source_time_started = true;
        }
        SRT_MSGCTRL control = stamped; // libsrt writes its numbers back into it
        control.srctime = origin < start ? start : origin;
        count_send(conn, srt_sendmsg2(conn.sock, message, length, &control));
    }
}

/*
 * Sends one message of source to every target connection and counts the bytes.
 * Cost: O(target connections): one pass over them under list_lock, one
 * non-blocking send each, no allocation, no log; a stalled subscriber costs the
 * others nothing. A message read before the handler listed its source is
 * dropped. A target's settings are read only while it has connections (see the
 * lock notes in registry.h).
 */
static void forward_message(route_t &route, SRTSOCKET source, int length,
                            transmit_buffers_t &buffers)
{
    pthread_mutex_lock(&route.list_lock);
    conn_socket_t *source_conn = find_conn(route.conns, source);
    if (source_conn != nullptr) {
        source_conn->rcv_delta += length;
        // libsrt reports the play time; the origin is that less the latency it was held for.
        int64_t played = buffers.received.srctime;
        int64_t origin =
            played != 0 ? played - (int64_t)source_conn->details.latency_ms * 1000 : srt_time_now();
        for (target_t &target : route.targets) {
            if (target.conns.empty())
                continue;
            if (target.endpoint.sourcetime != 0) {
                send_with_origin(target, buffers.message, length, origin);
                continue;
            }
            for (conn_socket_t &conn : target.conns)
                count_send(conn, srt_sendmsg(conn.sock, buffers.message, length, -1, 1));
        }
    }
    pthread_mutex_unlock(&route.list_lock);
}

// The socket whose messages are forwarded is read blocking (timeout_ms): a
// thread waiting on its own socket is woken at once, where a wait in an epoll
// that another thread also waits in may be woken late.
static void read_blocking(SRTSOCKET sock, int timeout_ms)
{
    int yes = 1;
    srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    srt_setsockflag(sock, SRTO_RCVSYN, &yes, sizeof yes);
}

static void make_active(route_t &route, SRTSOCKET sock)
{
    int expected = -1;
    if (route.active_source.compare_exchange_strong(expected, sock))
        read_blocking(sock, RECEIVE_WAIT_MS);
}

// Handles a failed receive on sock: clears the active source when the socket is gone.
static void receive_failed(route_t &route, SRTSOCKET sock)
{
    int code = srt_getlasterror(nullptr);
    if (code == SRT_EASYNCRCV || code == SRT_ETIMEOUT)
        return;
    if (socket_is_broken(srt_getsockstate(sock))) {
        int expected = sock;
        route.active_source.compare_exchange_strong(expected, -1);
        return;
    }
    log_messagef(LOG_LEVEL_WARNING, "[transmit thread] srt_recvmsg: %s\n", srt_getlasterror_str());
}

static int receive(SRTSOCKET sock, transmit_buffers_t &buffers)
{
    return srt_recvmsg2(sock, buffers.message, MESSAGE_SIZE, &buffers.received);
}

// The route's failover limit, or 0. Read under list_lock while the source has
// connections (see the lock notes in registry.h).
static int source_failover_ms(route_t &route)
{
    pthread_mutex_lock(&route.list_lock);
    int limit = route.conns.empty() ? 0 : route.source.failover_ms;
    pthread_mutex_unlock(&route.list_lock);
    return limit;
}

/*
 * Reads and discards what every standby source connection delivered, so that a
 * takeover forwards only fresh messages, and notes when each last delivered.
 * Returns the standby that delivered most recently, within STANDBY_FRESH_MS of
 * now, or -1. Takes list_lock twice and calls libsrt outside it. Cost:
 * O(standbys^2 + messages read); there are a few standbys at most.
 */
static SRTSOCKET drain_standbys(route_t &route, SRTSOCKET active, int64_t now,
                                transmit_buffers_t &buffers)
{
    int count = 0;
    pthread_mutex_lock(&route.list_lock);
    for (const conn_socket_t &conn : route.conns)
        if (conn.sock != active && count < RECEIVE_READY_MAX)
            buffers.standby[count++] = conn.sock;
    pthread_mutex_unlock(&route.list_lock);
    if (count == 0)
        return -1;

    for (int i = 0; i < count; i++) {
        buffers.standby_bytes[i] = 0;
        for (int n = 0; n < STANDBY_DRAIN_MAX; n++) {
            int length = srt_recvmsg(buffers.standby[i], buffers.message, MESSAGE_SIZE);
            if (length <= 0)
                break;
            buffers.standby_bytes[i] += length;
        }
    }

    SRTSOCKET freshest = -1;
    int64_t freshest_at = now - STANDBY_FRESH_MS;
    pthread_mutex_lock(&route.list_lock);
    for (conn_socket_t &conn : route.conns) {
        for (int i = 0; i < count; i++) {
            if (buffers.standby[i] != conn.sock || buffers.standby_bytes[i] == 0)
                continue;
            conn.rcv_delta += buffers.standby_bytes[i];
            conn.delivered_at_ms = now;
        }
        if (conn.sock != active && conn.delivered_at_ms >= freshest_at) {
            freshest = conn.sock;
            freshest_at = conn.delivered_at_ms;
        }
    }
    pthread_mutex_unlock(&route.list_lock);
    return freshest;
}

/*
 * Makes the standby fresh the active source in place of silent, counts the switch
 * and logs it with both peers. silent stays connected as a standby, read without
 * blocking from now on.
 */
static void take_over(route_t &route, SRTSOCKET silent, SRTSOCKET fresh, int64_t silent_ms)
{
    int expected = silent;
    if (!route.active_source.compare_exchange_strong(expected, fresh))
        return;
    int no = 0;
    srt_setsockflag(silent, SRTO_RCVSYN, &no, sizeof no);
    read_blocking(fresh, STANDBY_CHECK_MS);
    char from[sizeof(conn_details_t::peer)] = "";
    char to[sizeof(conn_details_t::peer)] = "";
    pthread_mutex_lock(&route.list_lock);
    route.source_switches++;
    for (const conn_socket_t &conn : route.conns) {
        if (conn.sock == silent)
            snprintf(from, sizeof from, "%s", conn.details.peer);
        else if (conn.sock == fresh)
            snprintf(to, sizeof to, "%s", conn.details.peer);
    }
    pthread_mutex_unlock(&route.list_lock);
    log_messagef(LOG_LEVEL_INFO,
                 "[transmit thread] route %d: source %s silent %lld ms, standby %s takes over\n",
                 route.id, from, (long long)silent_ms, to);
}

/*
 * Forwards the active source while watching its standbys: every STANDBY_CHECK_MS
 * they are drained, and once the active one has delivered nothing for limit_ms a
 * standby that delivers takes over. A former active one that resumes stays a
 * standby while the new one delivers. Returns when active is no longer the
 * active source or the route stops.
 */
static void forward_with_failover(route_t &route, SRTSOCKET active, int limit_ms,
                                  transmit_buffers_t &buffers)
{
    read_blocking(active, STANDBY_CHECK_MS);
    int64_t delivered = (int64_t)monotonic_ms();
    int64_t next_check = delivered;
    while (route.running != 0 && route.active_source == active) {
        int length = receive(active, buffers);
        int64_t now = (int64_t)monotonic_ms();
        if (length > 0) {
            forward_message(route, active, length, buffers);
            delivered = now;
        } else if (length == 0) {
            return;
        } else {
            int code = srt_getlasterror(nullptr);
            if (code != SRT_EASYNCRCV && code != SRT_ETIMEOUT) {
                receive_failed(route, active);
                return;
            }
        }
        if (now < next_check)
            continue;
        next_check = now + STANDBY_CHECK_MS;
        SRTSOCKET fresh = drain_standbys(route, active, now, buffers);
        if (fresh != -1 && now - delivered >= limit_ms)
            take_over(route, active, fresh, now - delivered);
    }
}

// Reads from the active source until it breaks or the route stops.
static void forward_active(route_t &route, SRTSOCKET active, transmit_buffers_t &buffers)
{
    int limit_ms = source_failover_ms(route);
    if (limit_ms > 0) {
        forward_with_failover(route, active, limit_ms, buffers);
        return;
    }
    while (route.running != 0 && route.active_source == active) {
        int length = receive(active, buffers);
        if (length == SRT_ERROR) {
            receive_failed(route, active);
            return;
        }
        if (length == 0)
            return;
        forward_message(route, active, length, buffers);
    }
}

// Sleeps while the route has no source connection, until the handler lists one
// or the threads are stopped. Returns true when a source connection is listed.
static bool wait_for_source(route_t &route)
{
    pthread_mutex_lock(&route.list_lock);
    if (route.conns.empty() && route.running != 0) {
        struct timespec until = monotonic_deadline(IDLE_WAIT_MS);
        pthread_cond_timedwait(&route.source_listed, &route.list_lock, &until);
    }
    bool listed = !route.conns.empty();
    pthread_mutex_unlock(&route.list_lock);
    return listed;
}

// No active source yet: waits for a readable source connection; the first one
// that delivers a message becomes the active source.
static void choose_source(route_t &route, transmit_buffers_t &buffers)
{
    int readable_count = RECEIVE_READY_MAX;
    if (srt_epoll_wait(route.epoll_rcv, buffers.readable, &readable_count, nullptr, nullptr,
                       RECEIVE_WAIT_MS, nullptr, nullptr, nullptr, nullptr) < 0)
        return;
    for (int i = 0; i < readable_count && i < RECEIVE_READY_MAX; i++) {
        SRTSOCKET sock = buffers.readable[i];
        if (socket_is_broken(srt_getsockstate(sock))) {
            int expected = sock;
            route.active_source.compare_exchange_strong(expected, -1);
            // Level-triggered: a broken socket the handler has not removed yet would
            // wake this wait for ever. The handler watches it on its own epoll.
            srt_epoll_remove_usock(route.epoll_rcv, sock);
            continue;
        }
        int length = receive(sock, buffers);
        if (length == SRT_ERROR) {
            receive_failed(route, sock);
            continue;
        }
        if (length == 0)
            continue;
        make_active(route, sock);
        if (route.active_source != sock)
            continue; // another source is forwarded; this message is dropped
        forward_message(route, sock, length, buffers);
        return;
    }
}

void *transmit_thread(void *arg)
{
    route_t &route = *static_cast<route_t *>(arg);
    route.transmit_thread_done = 0;
    transmit_buffers_t buffers;
    buffers.received = srt_msgctrl_default;

    while (route.running != 0) {
        SRTSOCKET active = route.active_source;
        if (active != -1)
            forward_active(route, active, buffers);
        else if (wait_for_source(route))
            choose_source(route, buffers);
    }
    // Last touch of the record: it may be destroyed once this is set.
    route.transmit_thread_done = 1;
    return nullptr;
}
