// udp:// endpoints of a route: a UDP source read by the event loop, UDP targets in the fan-out.
#include "routing/udp_endpoint.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/events.h"
#include "core/log.h"
#include "routing/connections.h"
#include "routing/event_loop.h"
#include "routing/transmit.h"
#include "srt/port_table.h"
#include "srt/socket.h"

// One MPEG-TS packet, and the most of them one SRT message carries.
#define TS_PACKET_SIZE 188
#define MESSAGE_PAYLOAD_MAX (7 * TS_PACKET_SIZE)
// Datagrams read per report, as an SRT source reads messages.
#define DATAGRAM_BATCH 32
// The longest datagram kept whole; a longer one is cut there and counted.
#define DATAGRAM_SIZE_MAX 16384
// Asked of the kernel for a source's receive buffer when the URL names none:
// the loop may look only every 10 ms, and encoders send a picture at once.
#define UDP_RCVBUF_DEFAULT (4 * 1024 * 1024)

bool udp_endpoint_listed(const route_t &route, const target_t *target)
{
    const std::list<conn_socket_t> &conns = target != nullptr ? target->conns : route.conns;
    for (const conn_socket_t &conn : conns)
        if (is_udp_sock(conn.sock))
            return true;
    return false;
}

void close_route_socket(int sock)
{
    if (is_udp_sock(sock))
        close(sock - UDP_SOCK_BASE);
    else
        srt_close(sock);
}

// The address host:port of the endpoint's family; false when host is no literal.
static bool endpoint_address(const char *host, int family, int port,
                             struct sockaddr_storage &address, socklen_t &length)
{
    memset(&address, 0, sizeof address);
    if (family == AF_INET6) {
        struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&address;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        length = sizeof *v6;
        return inet_pton(AF_INET6, host[0] != '\0' ? host : "::", &v6->sin6_addr) == 1;
    }
    struct sockaddr_in *v4 = (struct sockaddr_in *)&address;
    v4->sin_family = AF_INET;
    v4->sin_port = htons((uint16_t)port);
    length = sizeof *v4;
    return inet_pton(AF_INET, host[0] != '\0' ? host : "0.0.0.0", &v4->sin_addr) == 1;
}

// The index of the interface that holds the local address text; 0 for none.
static unsigned interface_of(const char *text)
{
    unsigned char wanted[sizeof(struct in6_addr)];
    int family = inet_pton(AF_INET, text, wanted) == 1    ? AF_INET
                 : inet_pton(AF_INET6, text, wanted) == 1 ? AF_INET6
                                                          : 0;
    struct ifaddrs *all = nullptr;
    if (family == 0 || getifaddrs(&all) != 0)
        return 0;
    unsigned index = 0;
    for (struct ifaddrs *it = all; it != nullptr && index == 0; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != family)
            continue;
        const void *held = family == AF_INET
                               ? (const void *)&((struct sockaddr_in *)it->ifa_addr)->sin_addr
                               : (const void *)&((struct sockaddr_in6 *)it->ifa_addr)->sin6_addr;
        if (memcmp(held, wanted, family == AF_INET ? 4 : 16) == 0)
            index = if_nametoindex(it->ifa_name);
    }
    freeifaddrs(all);
    return index;
}

static bool is_multicast_address(const struct sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return IN_MULTICAST(ntohl(((const struct sockaddr_in *)&address)->sin_addr.s_addr));
    return IN6_IS_ADDR_MULTICAST(&((const struct sockaddr_in6 *)&address)->sin6_addr);
}

// Joins group on the source's interface: any-source, or only from source= when named.
static int join_group(int fd, const endpoint_url_t &endpoint, const struct sockaddr_storage &group,
                      socklen_t length)
{
    int level = group.ss_family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
    unsigned index = endpoint.udp.iface[0] != '\0' ? interface_of(endpoint.udp.iface) : 0;
    if (endpoint.udp.iface[0] != '\0' && index == 0) {
        report_socket_failure("udp source: no interface holds %s", endpoint.udp.iface);
        return -1;
    }
    if (group.ss_family == AF_INET) {
        int no = 0;
        // Only the group bound to, whatever other groups the host has joined.
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &no, sizeof no);
    }
    if (endpoint.udp.source[0] == '\0') {
        struct group_req request;
        memset(&request, 0, sizeof request);
        request.gr_interface = index;
        memcpy(&request.gr_group, &group, length);
        if (setsockopt(fd, level, MCAST_JOIN_GROUP, &request, sizeof request) != 0) {
            report_socket_failure("udp source: joining the group: %s", strerror(errno));
            return -1;
        }
        return 0;
    }
    struct group_source_req request;
    memset(&request, 0, sizeof request);
    request.gsr_interface = index;
    memcpy(&request.gsr_group, &group, length);
    struct sockaddr_storage source;
    socklen_t source_length = 0;
    endpoint_address(endpoint.udp.source, group.ss_family, 0, source, source_length);
    memcpy(&request.gsr_source, &source, source_length);
    if (setsockopt(fd, level, MCAST_JOIN_SOURCE_GROUP, &request, sizeof request) != 0) {
        report_socket_failure("udp source: joining the group from %s: %s", endpoint.udp.source,
                              strerror(errno));
        return -1;
    }
    return 0;
}

// A non-blocking socket bound to the source's address and port, its group joined.
// Returns the descriptor, or -1 with everything released and the reason kept.
static int create_udp_source(const endpoint_url_t &endpoint)
{
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (!endpoint_address(endpoint.host, endpoint.family, endpoint.port, address, length)) {
        report_socket_failure("udp source: %s is not an address", endpoint.host);
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        report_socket_failure("udp source: socket: %s", strerror(errno));
        return -1;
    }
    // Several routes may take the same group; a unicast port is one route's alone,
    // and never shared with an SRT listener, whose datagrams it would take.
    int yes = 1;
    if (is_multicast_address(address))
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int rcvbuf = endpoint.udp.rcvbuf > 0 ? endpoint.udp.rcvbuf : UDP_RCVBUF_DEFAULT;
    // Beyond the system's cap where the relay may (CAP_NET_ADMIN), else up to it.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (bind(fd, (struct sockaddr *)&address, length) != 0) {
        report_socket_failure("udp source: bind to port %d: %s", endpoint.port, strerror(errno));
        close(fd);
        return -1;
    }
    if (is_multicast_address(address) && join_group(fd, endpoint, address, length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sets the options of a target's socket. Returns 0, or -1 with the reason kept.
static int set_target_options(int fd, const endpoint_url_t &endpoint, bool multicast)
{
    const udp_options_t &options = endpoint.udp;
    bool v6 = endpoint.family == AF_INET6;
    int ttl = options.ttl > 0 ? options.ttl : 1;
    int failed = 0;
    if (multicast)
        failed |= setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP,
                             v6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL, &ttl, sizeof ttl);
    else if (options.ttl > 0)
        failed |= setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_UNICAST_HOPS : IP_TTL,
                             &ttl, sizeof ttl);
    if (options.tos >= 0)
        failed |= setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_TCLASS : IP_TOS,
                             &options.tos, sizeof options.tos);
    if (options.sndbuf > 0)
        failed |= setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options.sndbuf, sizeof options.sndbuf);
    if (failed != 0) {
        report_socket_failure("udp target: socket options: %s", strerror(errno));
        return -1;
    }
    if (options.iface[0] == '\0')
        return 0;
    if (multicast && !v6) {
        struct in_addr local;
        inet_pton(AF_INET, options.iface, &local);
        failed = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    } else if (multicast) {
        unsigned index = interface_of(options.iface);
        failed =
            index == 0 ? -1 : setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
    } else {
        struct sockaddr_storage local;
        socklen_t length = 0;
        endpoint_address(options.iface, endpoint.family, 0, local, length);
        failed = bind(fd, (struct sockaddr *)&local, length);
    }
    if (failed != 0) {
        report_socket_failure("udp target: interface %s: %s", options.iface, strerror(errno));
        return -1;
    }
    return 0;
}

// A non-blocking socket connected to the target's address. Returns the
// descriptor, or -1 with everything released and the reason kept.
static int create_udp_target(const endpoint_url_t &endpoint)
{
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (!endpoint_address(endpoint.host, endpoint.family, endpoint.port, address, length)) {
        report_socket_failure("udp target: %s is not an address", endpoint.host);
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        report_socket_failure("udp target: socket: %s", strerror(errno));
        return -1;
    }
    if (set_target_options(fd, endpoint, is_multicast_address(address)) != 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, (struct sockaddr *)&address, length) != 0) {
        report_socket_failure("udp target: connect: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Lists the endpoint's socket as its one connection, its address as the peer.
// Caller holds route.lock.
static void list_udp_socket(route_t &route, target_t *target, int sock)
{
    const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    std::list<conn_socket_t> fresh;
    conn_socket_t &conn = fresh.emplace_back();
    conn.sock = sock;
    snprintf(conn.details.peer, sizeof conn.details.peer,
             endpoint.family == AF_INET6 ? "[%s]:%d" : "%s:%d", endpoint.host, endpoint.port);
    conn.details.connected_at = time(nullptr);
    conn.details.mode = endpoint.mode;
    std::list<conn_socket_t> &conns = target != nullptr ? target->conns : route.conns;
    pthread_mutex_lock(&route.list_lock);
    conns.splice(conns.end(), fresh);
    route.accepted[target != nullptr ? SIDE_TARGET : SIDE_SOURCE]++;
    pthread_mutex_unlock(&route.list_lock);
    if (target == nullptr)
        emit_event(EVENT_SOURCE_CONNECTED, {route.id, -1, conn.details.peer, ""},
                   {{"active", route.active_source == -1 || route.active_source == sock}});
    else
        emit_event(EVENT_TARGET_CONNECTED, {route.id, target->id, conn.details.peer, ""},
                   {{"latency_ms", 0}});
}

// SRT publishers that stand by for a UDP source, on the port named by standby=.
// Returns an open_result_t. Caller holds route.lock.
static int open_standby_port(route_t &route)
{
    endpoint_url_t standby = route.source;
    standby.udp = udp_options_t{};
    standby.port = route.source.udp.standby_port;
    snprintf(standby.host, sizeof standby.host, "%s",
             standby.family == AF_INET6 ? "::" : "0.0.0.0");
    int64_t registration = listen_on_port(standby, socket_owner(route, -1));
    if (registration < 0)
        return registration == PORT_STREAM_ID_TAKEN ? OPEN_ID_TAKEN : OPEN_FAILED;
    route.source_listen = registration;
    return OPEN_DONE;
}

int open_udp_endpoint(route_t &route, target_t *target)
{
    const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    if (endpoint.mode != (target != nullptr ? CONN_MODE_CALLER : CONN_MODE_LISTEN)) {
        report_socket_failure("a udp:// %s takes mode %s", target != nullptr ? "target" : "source",
                              target != nullptr ? "push" : "listen");
        return OPEN_FAILED;
    }
    if (udp_endpoint_listed(route, target))
        return OPEN_DONE;
    bool standby = target == nullptr && endpoint.udp.standby_port != 0 && route.source_listen == 0;
    if (standby) {
        int opened = open_standby_port(route);
        if (opened != OPEN_DONE)
            return opened;
    }
    int fd = target != nullptr ? create_udp_target(endpoint) : create_udp_source(endpoint);
    int sock = UDP_SOCK_BASE + fd;
    if (fd != -1 && target == nullptr && watch_system_socket(route, fd, sock) != 0) {
        report_socket_failure("udp source: epoll_ctl: %s", strerror(errno));
        close(fd);
        fd = -1;
    }
    if (fd == -1) {
        // Both or neither: the standby port goes with a source that did not open.
        if (standby) {
            stop_listening(route.source_listen);
            route.source_listen = 0;
        }
        return OPEN_FAILED;
    }
    list_udp_socket(route, target, sock);
    return OPEN_DONE;
}

// The loop's receive buffers, reused for every batch.
struct udp_batch_t {
    char data[DATAGRAM_BATCH][DATAGRAM_SIZE_MAX];
    struct iovec vectors[DATAGRAM_BATCH];
    struct mmsghdr headers[DATAGRAM_BATCH];
};
static udp_batch_t g_batch;

// Counts a batch on the source's connection: datagrams, and those that are
// not a whole number of packets (or were cut). False when it is no longer listed.
static bool count_batch(route_t &route, int sock, int received)
{
    for (conn_socket_t &conn : route.conns) {
        if (conn.sock != sock)
            continue;
        conn.stats.pktRecvTotal += received;
        for (int i = 0; i < received; i++) {
            const struct mmsghdr &header = g_batch.headers[i];
            if (header.msg_len % TS_PACKET_SIZE != 0 || (header.msg_hdr.msg_flags & MSG_TRUNC))
                conn.odd_datagrams++;
        }
        return true;
    }
    return false;
}

bool read_udp_source(route_t &route, int sock)
{
    udp_batch_t &batch = g_batch;
    for (int i = 0; i < DATAGRAM_BATCH; i++) {
        batch.vectors[i] = {batch.data[i], DATAGRAM_SIZE_MAX};
        memset(&batch.headers[i], 0, sizeof batch.headers[i]);
        batch.headers[i].msg_hdr.msg_iov = &batch.vectors[i];
        batch.headers[i].msg_hdr.msg_iovlen = 1;
    }
    // Read under list_lock: an operation closes the descriptor only after it has
    // unlisted it there, so this never reads a descriptor reused meanwhile.
    pthread_mutex_lock(&route.list_lock);
    int received = 0;
    if (conns_contain(route.conns, sock)) {
        received =
            recvmmsg(sock - UDP_SOCK_BASE, batch.headers, DATAGRAM_BATCH, MSG_DONTWAIT, nullptr);
        if (received > 0)
            count_batch(route, sock, received);
    }
    pthread_mutex_unlock(&route.list_lock);
    for (int i = 0; i < received; i++) {
        const char *data = batch.data[i];
        int left = (int)batch.headers[i].msg_len;
        if (left > DATAGRAM_SIZE_MAX)
            left = DATAGRAM_SIZE_MAX;
        // Cut at packet boundaries into messages SRT carries whole.
        while (left > 0) {
            int length = left > MESSAGE_PAYLOAD_MAX ? MESSAGE_PAYLOAD_MAX : left;
            deliver_message(route, sock, data, length, 0);
            data += length;
            left -= length;
        }
    }
    return received == DATAGRAM_BATCH;
}

void send_udp_message(target_t &target, const char *message, int length)
{
    for (conn_socket_t &conn : target.conns) {
        if (!is_udp_sock(conn.sock))
            continue;
        ssize_t sent = send(conn.sock - UDP_SOCK_BASE, message, (size_t)length, MSG_DONTWAIT);
        if (sent > 0) {
            conn.sent_delta += sent;
            conn.stats.pktSentTotal++;
        } else {
            // A full buffer, or an error the peer sent back: this datagram is lost.
            conn.dropped++;
        }
    }
}
