// "gen": sends numbered, timestamped 1316-byte live messages at a steady bit rate.
#include "generator.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "load_common.h"
#include "message.h"

#define CONNECT_RETRY_NS 200000000LL
#define TIMELINE_STEP_NS 100000000LL
#define BEHIND_RESET_NS 100000000LL
#define DRAIN_WAIT_NS 1000000000LL
#define PLAYOUT_MARGIN_MS 100
#define ACCEPT_WAIT_MS 100
#define STREAM_SET_CONNECT_NS 300000000000LL

struct gen_connection_t {
    int64_t start_ns;
    int64_t end_ns;
    uint64_t first_seq;
    uint64_t next_seq; // one past the last sent
};

struct gen_state_t {
    srt_address_t address;
    int latency_ms;
    char streamid[512];
    SRTSOCKET listener; // with --listen; SRT_INVALID_SOCK when calling
    int listen_epoll;   // watches the listener
    int64_t interval_ns;
    uint64_t next_seq;
    uint64_t late_resets;
    uint64_t retransmitted; // packets the library sent again, over every connection
    std::vector<gen_connection_t> connections;
    std::vector<std::pair<int64_t, uint64_t>> timeline; // (time, next seq)
};

static void sleep_until(int64_t when_ns)
{
    struct timespec until;
    until.tv_sec = when_ns / 1000000000LL;
    until.tv_nsec = when_ns % 1000000000LL;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR && !g_stop)
        continue;
}

// Calls the relay until it answers or deadline passes. Returns the socket or
// SRT_INVALID_SOCK.
static SRTSOCKET connect_until(const gen_state_t &state, int64_t deadline_ns)
{
    while (!g_stop && monotonic_ns() < deadline_ns) {
        SRTSOCKET sock = open_caller(state.address, state.latency_ms, state.streamid, true);
        if (sock != SRT_INVALID_SOCK)
            return sock;
        sleep_until(monotonic_ns() + CONNECT_RETRY_NS);
    }
    return SRT_INVALID_SOCK;
}

// With --listen: the next caller of the listener, or SRT_INVALID_SOCK at the deadline.
static SRTSOCKET accept_until(const gen_state_t &state, int64_t deadline_ns)
{
    while (!g_stop && monotonic_ns() < deadline_ns) {
        SRTSOCKET ready[1];
        int count = 1;
        if (srt_epoll_wait(state.listen_epoll, ready, &count, nullptr, nullptr, ACCEPT_WAIT_MS,
                           nullptr, nullptr, nullptr, nullptr) <= 0)
            continue;
        SRTSOCKET sock = srt_accept(state.listener, nullptr, nullptr);
        if (sock != SRT_INVALID_SOCK)
            return sock;
    }
    return SRT_INVALID_SOCK;
}

// Waits until every message sent on sock is acknowledged, or give_up_ns.
static void wait_acknowledged(SRTSOCKET sock, int64_t give_up_ns)
{
    size_t blocks = 0;
    size_t bytes = 0;
    while (monotonic_ns() < give_up_ns && srt_getsndbuffer(sock, &blocks, &bytes) == 0 &&
           blocks > 0)
        sleep_until(monotonic_ns() + 10000000LL);
}

// The latency the peer of sock plays out with, in ms (1000 when unknown).
static int peer_latency_of(SRTSOCKET sock)
{
    int peer_latency_ms = 0;
    int length = sizeof peer_latency_ms;
    if (srt_getsockflag(sock, SRTO_PEERLATENCY, &peer_latency_ms, &length) == SRT_ERROR)
        peer_latency_ms = 1000;
    return peer_latency_ms;
}

// Closes sock after adding its retransmissions to the state's count.
static void close_counted(gen_state_t &state, SRTSOCKET sock)
{
    SRT_TRACEBSTATS stats;
    if (srt_bstats(sock, &stats, 0) == 0)
        state.retransmitted += (uint64_t)stats.pktRetransTotal;
    srt_close(sock);
}

// Lets every sent message reach the peer's application before the socket is closed:
// first the unacknowledged ones leave, then the peer's latency window passes (a
// receiver discards what it still holds for play-out when the sender closes).
// Without this a planned reconnect would lose its last latency's worth of messages.
// Bounded by DRAIN_WAIT_NS plus the latency. The connection's retransmissions are counted.
static void drain_and_close(gen_state_t &state, SRTSOCKET sock)
{
    wait_acknowledged(sock, monotonic_ns() + DRAIN_WAIT_NS);
    sleep_until(monotonic_ns() + (int64_t)(peer_latency_of(sock) + PLAYOUT_MARGIN_MS) * 1000000LL);
    close_counted(state, sock);
}

// Sends on sock until until_ns, a stop request or a broken connection; paced by
// an absolute schedule so the long-run rate is exact.
static void send_stretch(gen_state_t &state, SRTSOCKET sock, int64_t until_ns)
{
    unsigned char message[LOAD_MESSAGE_SIZE];
    int64_t next_send = monotonic_ns();
    int64_t next_sample = next_send;
    while (!g_stop) {
        int64_t now = monotonic_ns();
        if (now >= until_ns)
            break;
        if (next_send > now) {
            sleep_until(next_send);
            now = monotonic_ns();
        }
        if (now >= next_sample) {
            state.timeline.emplace_back(now, state.next_seq);
            next_sample = now + TIMELINE_STEP_NS;
        }
        write_message(message, state.next_seq, now);
        if (srt_sendmsg(sock, (const char *)message, LOAD_MESSAGE_SIZE, -1, 1) == SRT_ERROR) {
            fprintf(stderr, "gen: send failed: %s\n", srt_getlasterror_str());
            break;
        }
        state.next_seq++;
        next_send += state.interval_ns;
        if (now - next_send > BEHIND_RESET_NS) {
            next_send = now;
            state.late_resets++;
        }
    }
    state.timeline.emplace_back(monotonic_ns(), state.next_seq);
}

static void print_report(const gen_state_t &state, int64_t rate_bps)
{
    // A reconnecting stream numbers on, so this is next_seq for one stream.
    uint64_t sent = 0;
    for (const gen_connection_t &conn : state.connections)
        sent += conn.next_seq - conn.first_seq;
    printf("{\"role\":\"gen\",\"rate_bps\":%lld,\"sent\":%llu,\"bytes\":%llu,\"late_resets\":%llu,"
           "\"retransmitted\":%llu,\"connections\":[",
           (long long)rate_bps, (unsigned long long)sent,
           (unsigned long long)sent * LOAD_MESSAGE_SIZE, (unsigned long long)state.late_resets,
           (unsigned long long)state.retransmitted);
    for (size_t i = 0; i < state.connections.size(); i++) {
        const gen_connection_t &conn = state.connections[i];
        printf("%s{\"start_ms\":%.3f,\"end_ms\":%.3f,\"first_seq\":%llu,\"next_seq\":%llu}",
               i == 0 ? "" : ",", conn.start_ns / 1e6, conn.end_ns / 1e6,
               (unsigned long long)conn.first_seq, (unsigned long long)conn.next_seq);
    }
    printf("],\"timeline\":[");
    for (size_t i = 0; i < state.timeline.size(); i++)
        printf("%s[%.3f,%llu]", i == 0 ? "" : ",", state.timeline[i].first / 1e6,
               (unsigned long long)state.timeline[i].second);
    printf("]}\n");
}

// Calls every stream of set in turn, each retried until deadline_ns; with share_port
// all from the local UDP port of the first. Returns 0, or -1 when one could not be
// reached (the sockets opened so far stay in socks for the caller to close).
static int connect_streams(const gen_state_t &state, const stream_set_t &set, bool share_port,
                           std::vector<SRTSOCKET> &socks, int64_t deadline_ns)
{
    int local_port = share_port ? 0 : -1;
    for (int i = 0; i < set.count; i++) {
        srt_address_t address;
        char streamid[sizeof state.streamid];
        stream_endpoint(set, i, &address, streamid, sizeof streamid);
        SRTSOCKET sock = SRT_INVALID_SOCK;
        while (sock == SRT_INVALID_SOCK && !g_stop && monotonic_ns() < deadline_ns) {
            sock = open_caller(address, state.latency_ms, streamid, true, local_port);
            if (sock == SRT_INVALID_SOCK)
                sleep_until(monotonic_ns() + CONNECT_RETRY_NS);
        }
        if (sock == SRT_INVALID_SOCK) {
            fprintf(stderr, "gen: stream %d (port %d, id \"%s\") not reached: %s\n", i,
                    address.port, streamid, srt_getlasterror_str());
            return -1;
        }
        socks.push_back(sock);
        if (share_port && local_port == 0)
            local_port = local_port_of(sock);
    }
    return 0;
}

// Sends on every stream of the set until until_ns or a stop request: message k goes
// to stream k mod N at start + k * interval / N, so each stream keeps the rate and the
// streams' messages interleave evenly. A stream whose send fails is left out from then
// on (its connection record ends there). Returns how many broke. O(1) per message.
static size_t send_streams(gen_state_t &state, const std::vector<SRTSOCKET> &socks,
                           int64_t until_ns)
{
    unsigned char message[LOAD_MESSAGE_SIZE];
    size_t count = socks.size();
    std::vector<bool> broken(count, false);
    int64_t base = monotonic_ns();
    for (size_t i = 0; i < count; i++) {
        gen_connection_t conn;
        conn.start_ns = base;
        conn.first_seq = (uint64_t)i << STREAM_SEQ_SHIFT;
        conn.next_seq = conn.first_seq;
        state.connections.push_back(conn);
    }
    for (int64_t k = 0; !g_stop; k++) {
        int64_t due = base + k * state.interval_ns / (int64_t)count;
        int64_t now = monotonic_ns();
        if (now >= until_ns)
            break;
        if (due > now) {
            sleep_until(due);
            now = monotonic_ns();
        } else if (now - due > BEHIND_RESET_NS) {
            base = now - k * state.interval_ns / (int64_t)count;
            state.late_resets++;
        }
        size_t i = (size_t)(k % (int64_t)count);
        gen_connection_t &conn = state.connections[i];
        if (broken[i])
            continue;
        write_message(message, conn.next_seq, now);
        if (srt_sendmsg(socks[i], (const char *)message, LOAD_MESSAGE_SIZE, -1, 1) == SRT_ERROR) {
            fprintf(stderr, "gen: stream %zu: send failed: %s\n", i, srt_getlasterror_str());
            broken[i] = true;
            conn.end_ns = monotonic_ns();
            continue;
        }
        conn.next_seq++;
    }
    size_t broken_count = 0;
    for (size_t i = 0; i < count; i++) {
        if (broken[i])
            broken_count++;
        else
            state.connections[i].end_ns = monotonic_ns();
    }
    return broken_count;
}

// --streams: every stream connected first (within STREAM_SET_CONNECT_NS), then sent at
// once for duration_ns, then drained together (one latency window for all, as
// drain_and_close does for one). Returns the exit status: 1 when a stream could not be
// reached or broke.
static int run_stream_set(gen_state_t &state, const stream_set_t &set, bool share_port,
                          int64_t duration_ns)
{
    std::vector<SRTSOCKET> socks;
    int64_t connect_deadline = monotonic_ns() + STREAM_SET_CONNECT_NS;
    int status = connect_streams(state, set, share_port, socks, connect_deadline) == 0 ? 0 : 1;
    if (status == 0) {
        // Benchmarks wait for this line: from here on nobody connects and the traffic flows.
        fprintf(stderr, "gen: %d streams connected\n", set.count);
        fflush(stderr);
    }
    if (status == 0 && send_streams(state, socks, monotonic_ns() + duration_ns) > 0)
        status = 1;
    int64_t give_up = monotonic_ns() + DRAIN_WAIT_NS;
    int latency_ms = 0;
    for (SRTSOCKET sock : socks) {
        wait_acknowledged(sock, give_up);
        int peer_latency = peer_latency_of(sock);
        latency_ms = peer_latency > latency_ms ? peer_latency : latency_ms;
    }
    sleep_until(monotonic_ns() + (int64_t)(latency_ms + PLAYOUT_MARGIN_MS) * 1000000LL);
    for (SRTSOCKET sock : socks)
        close_counted(state, sock);
    return status;
}

int run_generator(int argc, char **argv)
{
    gen_state_t state;
    stream_set_t set;
    if (read_stream_set(argc, argv, "gen", &set) == -1)
        return 2;
    int64_t rate_bps = find_number(argc, argv, "--rate", 5000000);
    int64_t duration_ns = find_number(argc, argv, "--duration", 20) * 1000000000LL;
    int64_t reconnect_ns = find_number(argc, argv, "--reconnect-every", 0) * 1000000000LL;
    state.latency_ms = (int)find_number(argc, argv, "--latency", 0);
    stream_endpoint(set, 0, &state.address, state.streamid, sizeof state.streamid);
    if (rate_bps <= 0 || duration_ns <= 0) {
        fprintf(stderr, "gen: --rate and --duration must be positive\n");
        return 2;
    }
    if (set.numbered && (reconnect_ns != 0 || has_flag(argc, argv, "--listen"))) {
        fprintf(stderr, "gen: --streams calls once: no --listen, no --reconnect-every\n");
        return 2;
    }
    state.interval_ns = (int64_t)LOAD_MESSAGE_SIZE * 8 * 1000000000LL / rate_bps;
    state.next_seq = 0;
    state.late_resets = 0;
    state.retransmitted = 0;
    state.listener = SRT_INVALID_SOCK;
    state.listen_epoll = -1;
    if (set.numbered) {
        int status = run_stream_set(state, set, has_flag(argc, argv, "--share-port"), duration_ns);
        print_report(state, rate_bps);
        return status;
    }
    if (has_flag(argc, argv, "--listen")) {
        // Watched from before any caller comes: the epoll then reports each one.
        int events = SRT_EPOLL_IN;
        state.listener = open_listener(state.address.port, 1, state.latency_ms);
        state.listen_epoll = srt_epoll_create();
        if (state.listener == SRT_INVALID_SOCK || state.listen_epoll == -1 ||
            srt_epoll_add_usock(state.listen_epoll, state.listener, &events) == SRT_ERROR) {
            srt_close(state.listener);
            srt_epoll_release(state.listen_epoll);
            return 1;
        }
    }

    int64_t deadline = monotonic_ns() + duration_ns;
    while (!g_stop && monotonic_ns() < deadline) {
        SRTSOCKET sock = state.listener == SRT_INVALID_SOCK ? connect_until(state, deadline)
                                                            : accept_until(state, deadline);
        if (sock == SRT_INVALID_SOCK)
            break;
        gen_connection_t conn;
        conn.start_ns = monotonic_ns();
        conn.first_seq = state.next_seq;
        int64_t until = deadline;
        if (reconnect_ns > 0 && conn.start_ns + reconnect_ns < deadline)
            until = conn.start_ns + reconnect_ns;
        send_stretch(state, sock, until);
        conn.next_seq = state.next_seq;
        drain_and_close(state, sock);
        conn.end_ns = monotonic_ns();
        state.connections.push_back(conn);
    }
    if (state.listener != SRT_INVALID_SOCK) {
        srt_epoll_release(state.listen_epoll);
        srt_close(state.listener);
    }
    print_report(state, rate_bps);
    return state.connections.empty() ? 1 : 0;
}
