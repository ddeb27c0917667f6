// "routes": the smallest libsrt relay of many streams on two ports, the cost floor a relay
// with many routes is compared with.
#include "router.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "load_common.h"

#define RECEIVE_BUFFER_SIZE 1500
#define EVENTS_MAX 1024
#define WAIT_STEP_MS 100
#define BACKLOG 1024
#define STREAMID_SIZE 512

// One stream: its current publisher (or none) and its players.
struct bare_stream_t {
    SRTSOCKET source = SRT_INVALID_SOCK;
    std::vector<SRTSOCKET> targets;
};

// What a connected socket is: the stream it belongs to and its side.
struct bare_peer_t {
    size_t stream;
    bool is_source;
};

struct router_state_t {
    int epoll_id = -1;
    SRTSOCKET source_listener = SRT_INVALID_SOCK;
    SRTSOCKET target_listener = SRT_INVALID_SOCK;
    std::vector<bare_stream_t> streams;
    std::unordered_map<std::string, size_t> stream_of_key;
    std::unordered_map<SRTSOCKET, bare_peer_t> peers;
    unsigned long long messages = 0;
    unsigned long long accepted = 0;
};

// The name a stream id asks for: the r= field of the "#!::key=value,..." form, or the whole
// id. Writes it into key (size bytes, cut to fit).
static void stream_key(const char *streamid, char *key, size_t size)
{
    static const char prefix[] = "#!::";
    if (strncmp(streamid, prefix, sizeof prefix - 1) == 0) {
        for (const char *field = streamid + sizeof prefix - 1; *field != '\0';) {
            const char *end = strchr(field, ',');
            size_t length = end == nullptr ? strlen(field) : (size_t)(end - field);
            if (length >= 2 && strncmp(field, "r=", 2) == 0) {
                snprintf(key, size, "%.*s", (int)(length - 2), field + 2);
                return;
            }
            if (end == nullptr)
                break;
            field = end + 1;
        }
    }
    snprintf(key, size, "%s", streamid);
}

// The stream a caller's id names, made on first use. O(1) on average.
static size_t find_stream(router_state_t &state, SRTSOCKET sock)
{
    char streamid[STREAMID_SIZE] = "";
    char key[STREAMID_SIZE];
    int length = (int)sizeof streamid - 1;
    if (srt_getsockflag(sock, SRTO_STREAMID, streamid, &length) == SRT_ERROR)
        length = 0;
    streamid[length] = '\0';
    stream_key(streamid, key, sizeof key);
    auto found = state.stream_of_key.find(key);
    if (found != state.stream_of_key.end())
        return found->second;
    state.streams.emplace_back();
    state.stream_of_key.emplace(key, state.streams.size() - 1);
    return state.streams.size() - 1;
}

static void close_peer(router_state_t &state, SRTSOCKET sock)
{
    srt_epoll_remove_usock(state.epoll_id, sock);
    srt_close(sock);
    state.peers.erase(sock);
}

// Drops target index of stream: swapped with the last, so the order is not kept. O(1).
static void drop_target(router_state_t &state, bare_stream_t &stream, size_t index)
{
    SRTSOCKET sock = stream.targets[index];
    stream.targets[index] = stream.targets.back();
    stream.targets.pop_back();
    close_peer(state, sock);
}

// Takes one caller waiting on listener (the epoll reports the listener again while more
// wait; accepting until none is left would make libsrt log each refusal). A new publisher
// replaces the stream's previous one, as a reconnecting generator expects; a player joins
// the stream's fan-out. O(1).
static void accept_caller(router_state_t &state, SRTSOCKET listener, bool source)
{
    SRTSOCKET sock = srt_accept(listener, nullptr, nullptr);
    if (sock == SRT_INVALID_SOCK)
        return;
    state.accepted++;
    size_t index = find_stream(state, sock);
    int no = 0;
    int events = source ? SRT_EPOLL_IN | SRT_EPOLL_ERR : SRT_EPOLL_ERR;
    srt_setsockflag(sock, source ? SRTO_RCVSYN : SRTO_SNDSYN, &no, sizeof no);
    if (srt_epoll_add_usock(state.epoll_id, sock, &events) == SRT_ERROR) {
        srt_close(sock);
        return;
    }
    state.peers[sock] = bare_peer_t{index, source};
    bare_stream_t &stream = state.streams[index];
    if (!source) {
        stream.targets.push_back(sock);
        return;
    }
    if (stream.source != SRT_INVALID_SOCK)
        close_peer(state, stream.source);
    stream.source = sock;
}

// Sends one message to every player of stream; a player whose send fails because it is
// gone is dropped, one whose send buffer is full loses this message only (SRTO_SNDSYN
// off). Cost: one send per player.
static void send_to_targets(router_state_t &state, bare_stream_t &stream, const char *message,
                            int length)
{
    for (size_t i = 0; i < stream.targets.size();) {
        if (srt_sendmsg(stream.targets[i], message, length, -1, 1) == SRT_ERROR &&
            srt_getsockstate(stream.targets[i]) != SRTS_CONNECTED) {
            drop_target(state, stream, i);
            continue;
        }
        i++;
    }
}

// Reads every queued message of stream's publisher and sends each on. A publisher that
// broke is closed and the stream waits for the next.
static void forward_source(router_state_t &state, bare_stream_t &stream)
{
    char buffer[RECEIVE_BUFFER_SIZE];
    for (;;) {
        int length = srt_recvmsg(stream.source, buffer, sizeof buffer);
        if (length == SRT_ERROR) {
            if (srt_getlasterror(nullptr) != SRT_EASYNCRCV) {
                close_peer(state, stream.source);
                stream.source = SRT_INVALID_SOCK;
            }
            return;
        }
        state.messages++;
        send_to_targets(state, stream, buffer, length);
    }
}

// One event: O(1) to find the socket's stream, then what the event asks.
static void handle_event(router_state_t &state, const SRT_EPOLL_EVENT &event)
{
    if (event.fd == state.source_listener || event.fd == state.target_listener) {
        accept_caller(state, event.fd, event.fd == state.source_listener);
        return;
    }
    auto found = state.peers.find(event.fd);
    if (found == state.peers.end())
        return;
    bare_stream_t &stream = state.streams[found->second.stream];
    if (found->second.is_source) {
        forward_source(state, stream);
        return;
    }
    for (size_t i = 0; i < stream.targets.size(); i++)
        if (stream.targets[i] == event.fd) {
            drop_target(state, stream, i);
            break;
        }
}

int run_router(int argc, char **argv)
{
    int source_port = (int)find_number(argc, argv, "--source-port", 0);
    int target_port = (int)find_number(argc, argv, "--target-port", 0);
    int latency_ms = (int)find_number(argc, argv, "--latency", 0);
    int64_t deadline = monotonic_ns() + find_number(argc, argv, "--duration", 3600) * 1000000000LL;
    if (source_port <= 0 || target_port <= 0) {
        fprintf(stderr, "routes: --source-port and --target-port are required\n");
        return 2;
    }
    router_state_t state;
    state.epoll_id = srt_epoll_create();
    state.source_listener = open_listener(source_port, BACKLOG, latency_ms);
    state.target_listener = open_listener(target_port, BACKLOG, latency_ms);
    int status = 1;
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (state.epoll_id != -1 && state.source_listener != SRT_INVALID_SOCK &&
        state.target_listener != SRT_INVALID_SOCK &&
        srt_epoll_add_usock(state.epoll_id, state.source_listener, &events) != SRT_ERROR &&
        srt_epoll_add_usock(state.epoll_id, state.target_listener, &events) != SRT_ERROR) {
        fprintf(stderr, "routes: listening on %d (sources) and %d (targets)\n", source_port,
                target_port);
        std::vector<SRT_EPOLL_EVENT> ready_events(EVENTS_MAX);
        while (!g_stop && monotonic_ns() < deadline) {
            int ready =
                srt_epoll_uwait(state.epoll_id, ready_events.data(), EVENTS_MAX, WAIT_STEP_MS);
            for (int i = 0; i < ready; i++)
                handle_event(state, ready_events[i]);
        }
        status = 0;
    }
    for (const auto &peer : state.peers)
        srt_close(peer.first);
    if (state.source_listener != SRT_INVALID_SOCK)
        srt_close(state.source_listener);
    if (state.target_listener != SRT_INVALID_SOCK)
        srt_close(state.target_listener);
    if (state.epoll_id != -1)
        srt_epoll_release(state.epoll_id);
    printf("{\"role\":\"routes\",\"streams\":%zu,\"accepted\":%llu,\"messages\":%llu}\n",
           state.streams.size(), state.accepted, state.messages);
    return status;
}
