// The transmit thread of a route: the data path.
#include "routing/transmit.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <srt/srt.h>

#include "core/log.h"
#include "routing/registry.h"

#define RECEIVE_READY_MAX 100
#define MESSAGE_SIZE 1500
#define RECEIVE_WAIT_MS 100
// An idle route's thread sleeps on its condition; the wake-up bounds how late a
// missed signal could be noticed.
#define IDLE_WAIT_S 1

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
};

/*
 * Sends one message of source to every target connection and counts the bytes.
 * Cost: O(target connections): one pass over them under list_lock, one
 * non-blocking send each, no allocation, no log. A send that would block fails
 * with SRT_EASYNCSND and is counted as dropped for that connection only, so a
 * stalled subscriber costs the others nothing. A message read before the
 * handler listed its source is dropped.
 */
static void forward_message(route_t &route, SRTSOCKET source, int length,
                            transmit_buffers_t &buffers)
{
    pthread_mutex_lock(&route.list_lock);
    conn_socket_t *source_conn = find_conn(route.conns, source);
    if (source_conn != nullptr) {
        source_conn->rcv_delta += length;
        for (target_t &target : route.targets) {
            for (conn_socket_t &conn : target.conns) {
                int sent = srt_sendmsg(conn.sock, buffers.message, length, -1, 1);
                if (sent > 0)
                    conn.sent_delta += sent;
                else if (srt_getlasterror(nullptr) == SRT_EASYNCSND)
                    conn.dropped++;
            }
        }
    }
    pthread_mutex_unlock(&route.list_lock);
}

// The socket whose messages are forwarded is read blocking (100 ms timeout): a
// thread waiting on its own socket is woken at once, where a wait in an epoll
// that another thread also waits in may be woken late.
static void make_active(route_t &route, SRTSOCKET sock)
{
    int expected = -1;
    if (!route.active_source.compare_exchange_strong(expected, sock))
        return;
    int yes = 1;
    int timeout = RECEIVE_WAIT_MS;
    srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout, sizeof timeout);
    srt_setsockflag(sock, SRTO_RCVSYN, &yes, sizeof yes);
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

// Reads from the active source until it breaks or the route stops.
static void forward_active(route_t &route, SRTSOCKET active, transmit_buffers_t &buffers)
{
    while (route.running != 0 && route.active_source == active) {
        int length = srt_recvmsg(active, buffers.message, MESSAGE_SIZE);
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
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += IDLE_WAIT_S;
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
        int length = srt_recvmsg(sock, buffers.message, MESSAGE_SIZE);
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
