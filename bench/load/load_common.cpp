// Clock, signals, command-line lookup and SRT socket helpers of the load tool.
#include "load_common.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>

volatile sig_atomic_t g_stop = 0;
const char *g_passphrase = "";

static void on_stop_signal(int)
{
    g_stop = 1;
}

void install_stop_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
}

const char *find_option(int argc, char **argv, const char *name, const char *fallback)
{
    for (int i = 0; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

int64_t find_number(int argc, char **argv, const char *name, int64_t fallback)
{
    const char *text = find_option(argc, argv, name, nullptr);
    return text == nullptr ? fallback : strtoll(text, nullptr, 10);
}

bool has_flag(int argc, char **argv, const char *name)
{
    for (int i = 0; i < argc; i++)
        if (strcmp(argv[i], name) == 0)
            return true;
    return false;
}

int parse_srt_address(const char *url, srt_address_t *address)
{
    const char *rest = strstr(url, "://");
    rest = rest == nullptr ? url : rest + 3;
    const char *colon = strrchr(rest, ':');
    if (colon == nullptr)
        return -1;
    size_t host_length = (size_t)(colon - rest);
    if (host_length == 0)
        snprintf(address->host, sizeof address->host, "0.0.0.0");
    else
        snprintf(address->host, sizeof address->host, "%.*s", (int)host_length, rest);
    address->port = atoi(colon + 1);
    return address->port > 0 ? 0 : -1;
}

int apply_live_options(SRTSOCKET sock, int latency_ms, const char *streamid)
{
    SRT_TRANSTYPE live = SRTT_LIVE;
    if (srt_setsockflag(sock, SRTO_TRANSTYPE, &live, sizeof live) == SRT_ERROR)
        return -1;
    if (latency_ms > 0 &&
        srt_setsockflag(sock, SRTO_LATENCY, &latency_ms, sizeof latency_ms) == SRT_ERROR)
        return -1;
    if (streamid != nullptr && streamid[0] != '\0' &&
        srt_setsockflag(sock, SRTO_STREAMID, streamid, (int)strlen(streamid)) == SRT_ERROR)
        return -1;
    if (g_passphrase[0] != '\0' && srt_setsockflag(sock, SRTO_PASSPHRASE, g_passphrase,
                                                   (int)strlen(g_passphrase)) == SRT_ERROR)
        return -1;
    return 0;
}

static struct sockaddr_in loopback_address(int port)
{
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

SRTSOCKET open_listener(int port, int backlog, int latency_ms)
{
    SRTSOCKET sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK)
        return SRT_INVALID_SOCK;
    int no = 0;
    struct sockaddr_in address = loopback_address(port);
    if (apply_live_options(sock, latency_ms, nullptr) == -1 ||
        srt_setsockflag(sock, SRTO_RCVSYN, &no, sizeof no) == SRT_ERROR ||
        srt_bind(sock, (struct sockaddr *)&address, sizeof address) == SRT_ERROR ||
        srt_listen(sock, backlog) == SRT_ERROR) {
        fprintf(stderr, "listen on port %d: %s\n", port, srt_getlasterror_str());
        srt_close(sock);
        return SRT_INVALID_SOCK;
    }
    return sock;
}

// Binds sock to 127.0.0.1:port with address reuse. Returns 0 or -1.
static int bind_shared(SRTSOCKET sock, int port)
{
    int yes = 1;
    struct sockaddr_in local = loopback_address(port);
    if (srt_setsockflag(sock, SRTO_REUSEADDR, &yes, sizeof yes) == SRT_ERROR ||
        srt_bind(sock, (struct sockaddr *)&local, sizeof local) == SRT_ERROR)
        return -1;
    return 0;
}

SRTSOCKET open_caller(const srt_address_t &address, int latency_ms, const char *streamid,
                      bool blocking, int local_port, bool tsbpd)
{
    SRTSOCKET sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK)
        return SRT_INVALID_SOCK;
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons((uint16_t)address.port);
    int sync = blocking ? 1 : 0;
    if (inet_pton(AF_INET, address.host, &peer.sin_addr) != 1 ||
        apply_live_options(sock, latency_ms, streamid) == -1 ||
        srt_setsockflag(sock, SRTO_RCVSYN, &sync, sizeof sync) == SRT_ERROR ||
        srt_setsockflag(sock, SRTO_TSBPDMODE, &tsbpd, sizeof tsbpd) == SRT_ERROR ||
        (local_port >= 0 && bind_shared(sock, local_port) == -1) ||
        srt_connect(sock, (struct sockaddr *)&peer, sizeof peer) == SRT_ERROR) {
        srt_close(sock);
        return SRT_INVALID_SOCK;
    }
    return sock;
}

int local_port_of(SRTSOCKET sock)
{
    struct sockaddr_in local;
    int length = sizeof local;
    if (srt_getsockname(sock, (struct sockaddr *)&local, &length) == SRT_ERROR)
        return -1;
    return ntohs(local.sin_port);
}
