// "forward": the smallest libsrt fan-out, the cost floor a relay is compared with.
#include "forwarder.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "load_common.h"

#define RECEIVE_BUFFER_SIZE 1500
#define EVENTS_MAX 64
#define WAIT_STEP_MS 100

struct forward_state_t {
    int epoll_id;
    SRTSOCKET source_listener;
    SRTSOCKET target_listener;
    SRTSOCKET source;
    std::vector<SRTSOCKET> targets;
    unsigned long long messages;
    // Injected faults, for checking that the subscriber set catches them: every n-th
    // message is dropped, sent twice, sent with its last byte flipped, or held back and
    // sent after the next one. 0 disables a fault.
    int64_t drop_every, duplicate_every, corrupt_every, swap_every;
    char held[RECEIVE_BUFFER_SIZE];
    int held_length;
};

static void drop_target(forward_state_t &state, size_t index)
{
    srt_epoll_remove_usock(state.epoll_id, state.targets[index]);
    srt_close(state.targets[index]);
    state.targets[index] = state.targets.back();
    state.targets.pop_back();
}

static void accept_source(forward_state_t &state)
{
    SRTSOCKET sock = srt_accept(state.source_listener, nullptr, nullptr);
    if (sock == SRT_INVALID_SOCK)
        return;
    // The newest caller replaces the previous source, as a reconnecting generator expects.
    if (state.source != SRT_INVALID_SOCK) {
        srt_epoll_remove_usock(state.epoll_id, state.source);
        srt_close(state.source);
    }
    int no = 0;
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_setsockflag(sock, SRTO_RCVSYN, &no, sizeof no);
    srt_epoll_add_usock(state.epoll_id, sock, &events);
    state.source = sock;
}

static void accept_target(forward_state_t &state)
{
    SRTSOCKET sock = srt_accept(state.target_listener, nullptr, nullptr);
    if (sock == SRT_INVALID_SOCK)
        return;
    int no = 0;
    int events = SRT_EPOLL_ERR;
    srt_setsockflag(sock, SRTO_SNDSYN, &no, sizeof no);
    srt_epoll_add_usock(state.epoll_id, sock, &events);
    state.targets.push_back(sock);
}

// Sends one message to every target; a target whose send fails because it is gone is
// dropped. Targets do not block (SRTO_SNDSYN off): a full send buffer loses that message
// for that target only. Cost: one send per target, nothing else: no poll, no lookup.
static void send_to_targets(forward_state_t &state, const char *message, int length)
{
    for (size_t i = 0; i < state.targets.size();) {
        if (srt_sendmsg(state.targets[i], message, length, -1, 1) == SRT_ERROR &&
            srt_getsockstate(state.targets[i]) != SRTS_CONNECTED) {
            drop_target(state, i);
            continue;
        }
        i++;
    }
}

static bool is_nth(unsigned long long count, int64_t every)
{
    return every > 0 && count % (unsigned long long)every == 0;
}

// Reads every queued source message and sends each to every target, applying the
// injected faults when any are set.
static void forward_source(forward_state_t &state)
{
    char buffer[RECEIVE_BUFFER_SIZE];
    for (;;) {
        int length = srt_recvmsg(state.source, buffer, sizeof buffer);
        if (length == SRT_ERROR) {
            if (srt_getlasterror(nullptr) != SRT_EASYNCRCV) {
                srt_epoll_remove_usock(state.epoll_id, state.source);
                srt_close(state.source);
                state.source = SRT_INVALID_SOCK;
            }
            return;
        }
        state.messages++;
        if (is_nth(state.messages, state.drop_every))
            continue;
        if (is_nth(state.messages, state.swap_every) && state.held_length == 0) {
            memcpy(state.held, buffer, (size_t)length);
            state.held_length = length;
            continue;
        }
        if (is_nth(state.messages, state.corrupt_every) && length > 0)
            buffer[length - 1] ^= 1;
        send_to_targets(state, buffer, length);
        if (is_nth(state.messages, state.duplicate_every))
            send_to_targets(state, buffer, length);
        if (state.held_length > 0) {
            send_to_targets(state, state.held, state.held_length);
            state.held_length = 0;
        }
    }
}

static void handle_event(forward_state_t &state, const SRT_EPOLL_EVENT &event)
{
    if (event.fd == state.source_listener) {
        accept_source(state);
    } else if (event.fd == state.target_listener) {
        accept_target(state);
    } else if (event.fd == state.source) {
        forward_source(state);
    } else {
        for (size_t i = 0; i < state.targets.size(); i++)
            if (state.targets[i] == event.fd) {
                drop_target(state, i);
                break;
            }
    }
}

int run_forwarder(int argc, char **argv)
{
    int source_port = (int)find_number(argc, argv, "--source-port", 0);
    int target_port = (int)find_number(argc, argv, "--target-port", 0);
    int latency_ms = (int)find_number(argc, argv, "--latency", 0);
    int64_t deadline = monotonic_ns() + find_number(argc, argv, "--duration", 3600) * 1000000000LL;
    if (source_port <= 0 || target_port <= 0) {
        fprintf(stderr, "forward: --source-port and --target-port are required\n");
        return 2;
    }
    forward_state_t state;
    state.source = SRT_INVALID_SOCK;
    state.messages = 0;
    state.drop_every = find_number(argc, argv, "--drop-every", 0);
    state.duplicate_every = find_number(argc, argv, "--duplicate-every", 0);
    state.corrupt_every = find_number(argc, argv, "--corrupt-every", 0);
    state.swap_every = find_number(argc, argv, "--swap-every", 0);
    state.held_length = 0;
    state.epoll_id = srt_epoll_create();
    state.source_listener = open_listener(source_port, 1, latency_ms);
    state.target_listener = open_listener(target_port, 64, latency_ms);
    int status = 1;
    if (state.epoll_id == -1 || state.source_listener == SRT_INVALID_SOCK ||
        state.target_listener == SRT_INVALID_SOCK)
        goto done;
    {
        int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_add_usock(state.epoll_id, state.source_listener, &events);
        srt_epoll_add_usock(state.epoll_id, state.target_listener, &events);
        fprintf(stderr, "forward: listening on %d (source) and %d (targets)\n", source_port,
                target_port);
        SRT_EPOLL_EVENT ready_events[EVENTS_MAX];
        while (!g_stop && monotonic_ns() < deadline) {
            int ready = srt_epoll_uwait(state.epoll_id, ready_events, EVENTS_MAX, WAIT_STEP_MS);
            for (int i = 0; i < ready; i++)
                handle_event(state, ready_events[i]);
        }
        status = 0;
    }
done:
    for (SRTSOCKET target : state.targets)
        srt_close(target);
    if (state.source != SRT_INVALID_SOCK)
        srt_close(state.source);
    if (state.source_listener != SRT_INVALID_SOCK)
        srt_close(state.source_listener);
    if (state.target_listener != SRT_INVALID_SOCK)
        srt_close(state.target_listener);
    if (state.epoll_id != -1)
        srt_epoll_release(state.epoll_id);
    printf("{\"role\":\"forward\",\"messages\":%llu}\n", state.messages);
    return status;
}
