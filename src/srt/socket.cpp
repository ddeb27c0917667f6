// The SRT socket factory: listening, calling and rendezvous sockets from an endpoint.
#include "srt/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <srt/srt.h>

#include "core/log.h"

void set_key_refresh(int sock, int32_t kmrefreshrate, int32_t kmpreannounce)
{
    // The rate first: libsrt checks the announcement against the rate in force.
    if (kmrefreshrate > 0)
        srt_setsockflag(sock, SRTO_KMREFRESHRATE, &kmrefreshrate, sizeof kmrefreshrate);
    if (kmpreannounce > 0)
        srt_setsockflag(sock, SRTO_KMPREANNOUNCE, &kmpreannounce, sizeof kmpreannounce);
}

// Logs the option lines of the endpoint's settings; sets each on sock unless it is -1.
static void apply_options(const endpoint_url_t *endpoint, int sock)
{
    char message[LOG_MESSAGE_SIZE];
    if (endpoint->streamid[0] != '\0') {
        snprintf(message, sizeof message, "=== SrtTestListenCallback streamid:%s\n",
                 endpoint->streamid);
        log_message(LOG_LEVEL_INFO, message);
        if (sock != -1)
            srt_setsockflag(sock, SRTO_STREAMID, endpoint->streamid,
                            (int)strlen(endpoint->streamid));
    }
    if (endpoint->latency != 0) {
        snprintf(message, sizeof message, "=== SrtTestListenCallback latency:%lu\n",
                 (unsigned long)endpoint->latency);
        log_message(LOG_LEVEL_INFO, message);
        int latency = (int)endpoint->latency;
        if (sock != -1)
            srt_setsockflag(sock, SRTO_LATENCY, &latency, sizeof latency);
    }
    if (endpoint->maxbw != 0) {
        snprintf(message, sizeof message, "=== SrtTestListenCallback max_bw:%lu\n",
                 (unsigned long)endpoint->maxbw);
        log_message(LOG_LEVEL_INFO, message);
        int64_t maxbw = endpoint->maxbw;
        if (sock != -1)
            srt_setsockflag(sock, SRTO_MAXBW, &maxbw, sizeof maxbw);
    }
    if (endpoint->passphrase[0] != '\0') {
        snprintf(message, sizeof message, "=== SrtTestListenCallback passphrase:%s\n",
                 PASSPHRASE_MASK);
        log_message(LOG_LEVEL_INFO, message);
        if (sock != -1)
            srt_setsockflag(sock, SRTO_PASSPHRASE, endpoint->passphrase,
                            (int)strlen(endpoint->passphrase));
    }
    if (endpoint->pbkeylen > 0) {
        snprintf(message, sizeof message, "=== SrtTestListenCallback pbkeylen:%d\n",
                 endpoint->pbkeylen);
        log_message(LOG_LEVEL_INFO, message);
        int pbkeylen = endpoint->pbkeylen;
        if (sock != -1)
            srt_setsockflag(sock, SRTO_PBKEYLEN, &pbkeylen, sizeof pbkeylen);
    }
    if (endpoint->kmrefreshrate > 0 || endpoint->kmpreannounce > 0) {
        snprintf(message, sizeof message,
                 "=== SrtTestListenCallback kmrefreshrate:%d, kmpreannounce:%d\n",
                 endpoint->kmrefreshrate, endpoint->kmpreannounce);
        log_message(LOG_LEVEL_INFO, message);
        if (sock != -1)
            set_key_refresh(sock, endpoint->kmrefreshrate, endpoint->kmpreannounce);
    }
}

int SrtTestListenCallback(const endpoint_url_t *endpoint, int sock)
{
    apply_options(endpoint, sock);
    return 0;
}

void log_endpoint_options(const endpoint_url_t *endpoint)
{
    apply_options(endpoint, -1);
}

// Why the calling thread's last create_srt_socket failed.
static thread_local char t_last_failure[256] = "";

const char *last_socket_error(void)
{
    return t_last_failure;
}

void report_socket_failure(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(t_last_failure, sizeof t_last_failure, format, args);
    va_end(args);
    console_printf("%s\n", t_last_failure);
}

// Wildcard address of family (0.0.0.0, or :: for AF_INET6) for port; nullptr
// when the port cannot be resolved. glibc's getaddrinfo takes a numeric service
// above 65535 modulo 65536 (70000 would bind 4464), so the range is checked here first.
static struct addrinfo *resolve_local(int port, int family)
{
    if (port < 0 || port > 65535) {
        report_socket_failure("illegal port number or port is busy.");
        return nullptr;
    }
    char service[32];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family == AF_INET6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *result = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &result) != 0 || result == nullptr) {
        report_socket_failure("illegal port number or port is busy.");
        return nullptr;
    }
    return result;
}

// The endpoint's host and port as a socket address of its family; its length, or
// -1 when host is not a literal of that family (no name is looked up).
static int make_peer_address(const endpoint_url_t *endpoint, struct sockaddr_storage *peer)
{
    memset(peer, 0, sizeof *peer);
    int accepted = 0;
    int length = -1;
    if (endpoint->family == AF_INET6) {
        struct sockaddr_in6 *address = (struct sockaddr_in6 *)peer;
        address->sin6_family = AF_INET6;
        address->sin6_port = htons((uint16_t)endpoint->port);
        accepted = inet_pton(AF_INET6, endpoint->host, &address->sin6_addr);
        length = (int)sizeof *address;
    } else {
        struct sockaddr_in *address = (struct sockaddr_in *)peer;
        address->sin_family = AF_INET;
        address->sin_port = htons((uint16_t)endpoint->port);
        accepted = inet_pton(AF_INET, endpoint->host, &address->sin_addr);
        length = (int)sizeof *address;
    }
    if (accepted != 1) {
        report_socket_failure("Invalid address/ Address not supported");
        return -1;
    }
    return length;
}

void format_peer_address(const struct sockaddr *peer, int length, char *out, size_t size)
{
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    out[0] = '\0';
    if (getnameinfo(peer, (socklen_t)length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)peer;
    if (peer->sa_family != AF_INET6)
        snprintf(out, size, "%s:%s", host, service);
    else if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
        // An IPv4 caller on a dual-stack socket, shown as it sees itself.
        snprintf(out, size, "%s:%s", host + 7, service);
    else
        snprintf(out, size, "[%s]:%s", host, service);
}

static void set_nonblocking(int sock)
{
    int no = 0;
    srt_setsockopt(sock, 0, SRTO_RCVSYN, &no, sizeof no);
    srt_setsockopt(sock, 0, SRTO_SNDSYN, &no, sizeof no);
}

static int new_srt_socket(void)
{
    int sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK) {
        report_socket_failure("srt_socket: %s", srt_getlasterror_str());
        return sock;
    }
    // Live peers may send messages of up to 1456 bytes (srt-live-transmit does); a
    // socket left at libsrt's 1316 could not send them on. Accepted sockets inherit it.
    int payload = SRT_LIVE_MAX_PLSIZE;
    srt_setsockflag(sock, SRTO_PAYLOADSIZE, &payload, sizeof payload);
    return sock;
}

int create_bound_socket(const endpoint_url_t *endpoint, int port, bool rendezvous)
{
    struct addrinfo *local = resolve_local(port, endpoint->family);
    if (local == nullptr)
        return -1;
    int sock = new_srt_socket();
    if (sock != SRT_INVALID_SOCK) {
        if (rendezvous) {
            int yes = 1;
            srt_setsockopt(sock, 0, SRTO_RENDEZVOUS, &yes, sizeof yes);
        }
        if (endpoint->family == AF_INET6) {
            // Dual-stack, said outright: later libsrt refuses to bind :: with it unset.
            int v6_only = 0;
            srt_setsockflag(sock, SRTO_IPV6ONLY, &v6_only, sizeof v6_only);
        }
        set_nonblocking(sock);
        SrtTestListenCallback(endpoint, sock);
        if (srt_bind(sock, local->ai_addr, (int)local->ai_addrlen) != 0) {
            // libsrt says only "Connection setup failure"; the system says why.
            int system_error = 0;
            srt_getlasterror(&system_error);
            report_socket_failure("srt_bind: %s",
                                  system_error != 0 ? strerror(system_error) : srt_getlasterror_str());
            srt_close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(local);
    return sock;
}

// Starts a non-blocking connection attempt to the endpoint's host and port.
// Returns sock, or -1 after closing it.
static int connect_to_peer(int sock, const endpoint_url_t *endpoint, const char *trace)
{
    struct sockaddr_storage peer;
    int length = make_peer_address(endpoint, &peer);
    if (length == -1) {
        srt_close(sock);
        return -1;
    }
    console_printf("%s\n", trace);
    if (srt_connect(sock, (const struct sockaddr *)&peer, length) == SRT_ERROR) {
        report_socket_failure("srt_connect: %s", srt_getlasterror_str());
        srt_close(sock);
        return -1;
    }
    return sock;
}

static int create_listener(const endpoint_url_t *endpoint)
{
    int sock = create_bound_socket(endpoint, endpoint->port, false);
    if (sock != -1 && srt_listen(sock, 100) == SRT_ERROR) {
        report_socket_failure("srt_listen: %s", srt_getlasterror_str());
        srt_close(sock);
        sock = -1;
    }
    return sock;
}

static int create_caller(const endpoint_url_t *endpoint)
{
    int sock = new_srt_socket();
    if (sock == SRT_INVALID_SOCK)
        return -1;
    SrtTestListenCallback(endpoint, sock);
    set_nonblocking(sock);
    return connect_to_peer(sock, endpoint, "=== caller: try to connect");
}

static int create_rendezvous(const endpoint_url_t *endpoint)
{
    console_printf("=== r_local_port:%d, port:%d\n", endpoint->r_local_port, endpoint->port);
    int sock = create_bound_socket(endpoint, endpoint->r_local_port, true);
    if (sock == -1)
        return -1;
    return connect_to_peer(sock, endpoint, "=== rendezvous: try to connect");
}

int create_srt_socket(const endpoint_url_t *endpoint)
{
    switch (endpoint->mode) {
    case CONN_MODE_LISTEN:
        return create_listener(endpoint);
    case CONN_MODE_CALLER:
        return create_caller(endpoint);
    case CONN_MODE_RENDEZVOUS:
        return create_rendezvous(endpoint);
    default:
        return -1;
    }
}
