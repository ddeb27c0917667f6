// The data path of a route: messages read from its source connections and fanned out.
#include "routing/transmit.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <srt/srt.h>

#include "core/events.h"
#include "core/log.h"
#include "recording/recorder.h"
#include "routing/registry.h"
#include "routing/udp_endpoint.h"

#define MESSAGE_SIZE 1500
// Messages read from one socket per report, so that one busy source cannot hold up the others.
#define READ_MAX 64

static conn_socket_t *find_conn(std::list<conn_socket_t> &conns, SRTSOCKET sock)
{
    for (conn_socket_t &conn : conns)
        if (conn.sock == sock)
            return &conn;
    return nullptr;
}

// The loop's buffers, reused for every message.
struct transmit_buffers_t {
    char message[MESSAGE_SIZE];
    // Filled by each receive: srctime is the time libsrt played the message at.
    SRT_MSGCTRL received;
};
static transmit_buffers_t g_buffers = {{}, srt_msgctrl_default};

// Counts the outcome of one send on conn. A message a live connection did not take
// (a full buffer, one libsrt refuses) is counted as dropped for that connection
// only: nothing is lost without a figure. A connection that is gone is not counted;
// its error event takes it off the list.
static inline void count_send(conn_socket_t &conn, int sent)
{
    if (sent > 0) {
        conn.sent_delta += sent;
        return;
    }
    int code = srt_getlasterror(nullptr);
    if (code != SRT_ECONNLOST && code != SRT_ENOCONN && code != SRT_EINVSOCK)
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
 * others nothing. A message of a source no longer listed is dropped. A target's
 * settings are read only while it has connections (see the lock notes in
 * registry.h).
 */
static void forward_message(route_t &route, SRTSOCKET source, const char *message, int length,
                            int64_t played, int64_t now)
{
    pthread_mutex_lock(&route.list_lock);
    conn_socket_t *source_conn = find_conn(route.conns, source);
    if (source_conn != nullptr) {
        source_conn->rcv_delta += length;
        source_conn->delivered_at_ms = now;
        // libsrt reports the play time; the origin is that less the latency it was held for.
        int64_t origin =
            played != 0 ? played - (int64_t)source_conn->details.latency_ms * 1000 : srt_time_now();
        for (target_t &target : route.targets) {
            if (target.recording != nullptr)
                record_message(*target.recording, message, length, now);
            if (target.conns.empty())
                continue;
            if (target.endpoint.udp.udp != 0) {
                send_udp_message(target, message, length);
                continue;
            }
            if (target.endpoint.sourcetime != 0) {
                send_with_origin(target, message, length, origin);
                continue;
            }
            for (conn_socket_t &conn : target.conns)
                count_send(conn, srt_sendmsg(conn.sock, message, length, -1, 1));
        }
    }
    pthread_mutex_unlock(&route.list_lock);
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

/*
 * Makes the standby fresh the active source in place of silent, counts the switch
 * and logs it with both peers. silent stays connected as a standby.
 */
static void take_over(route_t &route, SRTSOCKET silent, SRTSOCKET fresh, int64_t silent_ms)
{
    int expected = silent;
    if (!route.active_source.compare_exchange_strong(expected, fresh))
        return;
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
    emit_event(EVENT_SOURCE_SWITCHED, {route.id, -1, to},
               {{"previous_peer", from}, {"silent_ms", silent_ms}});
}

/*
 * A message of a source connection that is not the active one is dropped. With
 * failover the bytes are counted and the connection noted as delivering; once
 * the active source has been silent for the route's limit, this standby takes
 * over. Cost: O(source connections) under list_lock.
 */
static void drop_standby_message(route_t &route, SRTSOCKET standby, SRTSOCKET active, int length,
                                 int64_t now)
{
    int64_t silent_ms = -1;
    pthread_mutex_lock(&route.list_lock);
    // Read under list_lock while the source has connections (see registry.h).
    int limit_ms = route.conns.empty() ? 0 : route.source.failover_ms;
    if (limit_ms > 0) {
        for (conn_socket_t &conn : route.conns) {
            if (conn.sock == standby) {
                conn.rcv_delta += length;
                conn.delivered_at_ms = now;
            } else if (conn.sock == active && now - conn.delivered_at_ms >= limit_ms) {
                silent_ms = now - conn.delivered_at_ms;
            }
        }
    }
    pthread_mutex_unlock(&route.list_lock);
    if (silent_ms >= 0)
        take_over(route, active, standby, silent_ms);
}

void read_source(route_t &route, SRTSOCKET sock)
{
    transmit_buffers_t &buffers = g_buffers;
    for (int n = 0; n < READ_MAX; n++) {
        int length = srt_recvmsg2(sock, buffers.message, MESSAGE_SIZE, &buffers.received);
        if (length == SRT_ERROR) {
            receive_failed(route, sock);
            return;
        }
        if (length == 0)
            return;
        deliver_message(route, sock, buffers.message, length, buffers.received.srctime);
    }
}

void deliver_message(route_t &route, int sock, const char *message, int length, int64_t played)
{
    int64_t now = (int64_t)monotonic_ms();
    // The first source connection that delivers becomes the active source.
    int active = -1;
    if (route.active_source.compare_exchange_strong(active, sock))
        active = sock;
    if (active == sock)
        forward_message(route, sock, message, length, played, now);
    else
        drop_standby_message(route, sock, active, length, now);
}
