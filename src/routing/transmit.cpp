// The transmit thread of a route: the data path.
#include "routing/transmit.h"

#include <pthread.h>

#include <srt/srt.h>

#include "core/log.h"
#include "routing/registry.h"

#define RECEIVE_READY_MAX 100
#define SEND_READY_MAX 1000
#define MESSAGE_SIZE 1500
#define RECEIVE_WAIT_MS 100

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
    SRTSOCKET writable[SEND_READY_MAX];
    char message[MESSAGE_SIZE];
};

// Sends one message of source to every writable target connection and counts the
// bytes. Returns -1 when the thread must end. Cost: one non-blocking poll, then
// per writable socket a walk over the targets' conns and one non-blocking send,
// all under list_lock (never held across anything that can block).
static int forward_message(route_t &route, SRTSOCKET source, int length,
                           transmit_buffers_t &buffers)
{
    int writable_count = SEND_READY_MAX;
    if (srt_epoll_wait(route.epoll_snd, nullptr, nullptr, buffers.writable, &writable_count, 0,
                       nullptr, nullptr, nullptr, nullptr) < 0)
        writable_count = 0;
    if (writable_count > SEND_READY_MAX) {
        log_messagef(LOG_LEVEL_ERR, "[transmit thread] epoll snd returned more than %d sockets\n",
                     SEND_READY_MAX);
        return -1;
    }

    pthread_mutex_lock(&route.list_lock);
    conn_socket_t *source_conn = find_conn(route.conns, source);
    if (source_conn != nullptr) {
        source_conn->rcv_delta += length;
        for (int i = 0; i < writable_count; i++) {
            SRTSOCKET sock = buffers.writable[i];
            conn_socket_t *conn = nullptr;
            for (target_t &target : route.targets) {
                conn = find_conn(target.conns, sock);
                if (conn != nullptr)
                    break;
            }
            if (conn == nullptr)
                continue;
            // Only bytes that left count as sent; a failed send adds nothing.
            int sent = srt_sendmsg(sock, buffers.message, length, -1, 1);
            if (sent > 0)
                conn->sent_delta += sent;
        }
    }
    // A message read before the handler listed its socket is dropped.
    pthread_mutex_unlock(&route.list_lock);
    return 0;
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

// Handles a failed receive on sock. Returns nothing; clears the active source
// when the socket is gone.
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
static int forward_active(route_t &route, SRTSOCKET active, transmit_buffers_t &buffers)
{
    while (route.running != 0 && route.active_source == active) {
        int length = srt_recvmsg(active, buffers.message, MESSAGE_SIZE);
        if (length == SRT_ERROR) {
            receive_failed(route, active);
            return 0;
        }
        if (length == 0)
            return 0;
        if (forward_message(route, active, length, buffers) == -1)
            return -1;
    }
    return 0;
}

// No active source yet: waits for a readable source-side socket; the first one
// that delivers a message becomes the active source. Returns -1 on a fatal error.
static int choose_source(route_t &route, transmit_buffers_t &buffers)
{
    int readable_count = RECEIVE_READY_MAX;
    if (srt_epoll_wait(route.epoll_rcv, buffers.readable, &readable_count, nullptr, nullptr,
                       RECEIVE_WAIT_MS, nullptr, nullptr, nullptr, nullptr) < 0)
        return 0;
    for (int i = 0; i < readable_count && i < RECEIVE_READY_MAX; i++) {
        SRTSOCKET sock = buffers.readable[i];
        SRT_SOCKSTATUS state = srt_getsockstate(sock);
        if (socket_is_broken(state)) {
            int expected = sock;
            route.active_source.compare_exchange_strong(expected, -1);
            // Level-triggered: a broken socket the handler cannot replace at once
            // would wake this wait for ever. The handler watches it on its own epoll.
            srt_epoll_remove_usock(route.epoll_rcv, sock);
            continue;
        }
        // A listener carries no data; its callers are the handler's business.
        if (state == SRTS_LISTENING)
            continue;
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
        return forward_message(route, sock, length, buffers);
    }
    return 0;
}

void *transmit_thread(void *arg)
{
    route_t &route = *static_cast<route_t *>(arg);
    route.transmit_thread_done = 0;
    transmit_buffers_t buffers;
    int result = 0;

    while (route.running != 0 && result == 0) {
        SRTSOCKET active = route.active_source;
        if (active != -1)
            result = forward_active(route, active, buffers);
        else
            result = choose_source(route, buffers);
    }
    // Last touch of the record: it may be destroyed once this is set.
    route.transmit_thread_done = 1;
    return nullptr;
}
