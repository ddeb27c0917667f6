// "udpfwd": the smallest multicast forwarder, recvmmsg in and sendmmsg out.
#include "udp_forwarder.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "load_common.h"

#define BATCH 64
#define DATAGRAM_MAX 2048

// "a.b.c.d:port" into address; false when it does not parse.
static bool parse_ipv4(const char *text, struct sockaddr_in &address)
{
    char host[64];
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon - text >= (long)sizeof host)
        return false;
    snprintf(host, sizeof host, "%.*s", (int)(colon - text), text);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)atoi(colon + 1));
    return inet_pton(AF_INET, host, &address.sin_addr) == 1;
}

int run_udp_forwarder(int argc, char **argv)
{
    struct sockaddr_in in, out;
    struct in_addr iface = {htonl(INADDR_LOOPBACK)};
    const char *iface_text = find_option(argc, argv, "--iface", "127.0.0.1");
    int64_t end_ns = monotonic_ns() + find_number(argc, argv, "--duration", 600) * 1000000000LL;
    if (!parse_ipv4(find_option(argc, argv, "--in", ""), in) ||
        !parse_ipv4(find_option(argc, argv, "--out", ""), out) ||
        inet_pton(AF_INET, iface_text, &iface) != 1) {
        fprintf(stderr, "udpfwd: --in GROUP:PORT --out HOST:PORT [--iface ADDR]\n");
        return 2;
    }
    int reader = socket(AF_INET, SOCK_DGRAM, 0), writer = socket(AF_INET, SOCK_DGRAM, 0);
    int yes = 1, buffer = 4 << 20;
    setsockopt(reader, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(reader, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    struct ip_mreq join = {in.sin_addr, iface};
    if (bind(reader, (struct sockaddr *)&in, sizeof in) != 0 ||
        setsockopt(reader, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
        setsockopt(writer, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0 ||
        connect(writer, (struct sockaddr *)&out, sizeof out) != 0) {
        perror("udpfwd");
        close(reader);
        close(writer);
        return 1;
    }
    static char data[BATCH][DATAGRAM_MAX];
    struct iovec vectors[BATCH];
    struct mmsghdr headers[BATCH];
    unsigned long long datagrams = 0, bytes = 0;
    while (!g_stop && monotonic_ns() < end_ns) {
        struct pollfd ready = {reader, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        for (int i = 0; i < BATCH; i++) {
            vectors[i] = {data[i], DATAGRAM_MAX};
            memset(&headers[i], 0, sizeof headers[i]);
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int received = recvmmsg(reader, headers, BATCH, MSG_DONTWAIT, nullptr);
        if (received <= 0)
            continue;
        for (int i = 0; i < received; i++) {
            vectors[i].iov_len = headers[i].msg_len;
            bytes += headers[i].msg_len;
        }
        datagrams += (unsigned long long)received;
        sendmmsg(writer, headers, (unsigned)received, 0);
    }
    printf("{\"datagrams\":%llu,\"bytes\":%llu}\n", datagrams, bytes);
    close(reader);
    close(writer);
    return 0;
}
