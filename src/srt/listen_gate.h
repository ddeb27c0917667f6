// Listen gates: what a listener does during each handshake, on libsrt's receive thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <memory>

#include <srt/srt.h>

// Rung by a listener's gate when a caller knocks, so its owner may sleep
// meanwhile instead of polling the listener.
struct doorbell_t {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool rung = false;
    doorbell_t();
    ~doorbell_t();
    doorbell_t(const doorbell_t &) = delete;
    doorbell_t &operator=(const doorbell_t &) = delete;
};
void ring_doorbell(doorbell_t &bell);
// Waits until the bell rings or timeout_ms pass. Returns true (and clears the
// bell) when it rang, even before the wait began.
bool wait_doorbell(doorbell_t &bell, int timeout_ms);

// Who a listener belongs to, for log lines, refusal counts (target_id -1: a
// source) and the bell its gate rings (may be null).
struct socket_owner_t {
    int32_t route_id;
    int32_t target_id;
    std::shared_ptr<doorbell_t> doorbell;
};

/*
 * Installs libsrt's listen callback on a listener that is not yet listening.
 * With a stream id, a caller that does not present exactly that id is refused
 * during the handshake with reject reason SRT_REJX_FORBIDDEN (1403), so its
 * connect fails at once; refusals are logged at most once a second per
 * listener. Every caller let in rings the owner's doorbell. The callback reads
 * only a gate record of its own (a copy of the id and a share of the bell),
 * which lives until libsrt has forgotten the listener. Returns 0, or -1 when
 * libsrt refuses the callback (the accept-time check still applies).
 */
int install_listen_gate(SRTSOCKET listener, const char *streamid, const socket_owner_t &owner);

// Called with the refusals each gate made since the last sweep.
typedef void (*gate_refusals_fn)(const socket_owner_t &owner, uint64_t refused, void *context);

// Reports new refusals of every gate, then frees the gates whose listener libsrt
// no longer knows. Main thread, once a second; takes only the gates' own lock
// while it walks them, and calls report with no lock of its own held.
void sweep_listen_gates(gate_refusals_fn report, void *context);
