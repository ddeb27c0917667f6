// Stream id gates: listeners refuse callers with a wrong stream id during the handshake.
#pragma once

#include <stdint.h>

#include <srt/srt.h>

// Who a listener belongs to, for log lines and refusal counts (target_id -1: a source).
struct socket_owner_t {
    int32_t route_id;
    int32_t target_id;
};

/*
 * Installs libsrt's listen callback on a listener that is not yet listening: a
 * caller whose stream id is not exactly streamid is refused during the handshake
 * with reject reason SRT_REJX_FORBIDDEN (1403), so its connect fails at once.
 * The callback runs on libsrt's receive thread and reads only a gate record of
 * its own (a copy of the id), which lives until libsrt has forgotten the
 * listener. Refusals are logged at most once a second per listener. Returns 0,
 * or -1 when libsrt refuses the callback (the accept-time check still applies).
 */
int install_stream_gate(SRTSOCKET listener, const char *streamid, const socket_owner_t &owner);

// Called with the refusals each gate made since the last sweep.
typedef void (*gate_refusals_fn)(const socket_owner_t &owner, uint64_t refused, void *context);

// Reports new refusals of every gate, then frees the gates whose listener libsrt
// no longer knows. Main thread, once a second; takes only the gates' own lock
// while it walks them, and calls report with no lock of its own held.
void sweep_stream_gates(gate_refusals_fn report, void *context);
