// The listening ports: one SRT listener per UDP port, shared by every endpoint that names it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include <srt/srt.h>

#include "srt/endpoint.h"

// Who an endpoint belongs to, for log lines, refusal counts (target_id -1: a
// source) and the hand-over of its callers: handle is its owner's record,
// never dereferenced here.
struct socket_owner_t {
    int32_t route_id;
    int32_t target_id;
    void *handle;
};

// A caller accepted on a shared listener, for the endpoint its stream id selected.
struct handed_caller_t {
    SRTSOCKET sock;
    int64_t registration; // the endpoint's registration when the caller was selected
    int32_t target_id;    // -1: the source
    void *handle;         // the owner's, as registered
};

/*
 * The one libsrt epoll of the process: every port's listener is registered in
 * it for SRT_EPOLL_IN, and the event loop adds every socket of every route.
 * Made on first use, never released.
 */
int shared_epoll(void);

// Returned by listen_on_port when another endpoint serves the stream id there.
#define PORT_STREAM_ID_TAKEN (-2)

/*
 * Serves a listening endpoint on its UDP port: the port's listener is opened
 * with the first endpoint and shared by those that follow. During each
 * handshake the caller's stream id selects one endpoint of the port
 * (select_port_endpoint), whose passphrase, key length and latency are set on
 * the new socket; a refused caller's connect fails at once with the reject
 * code. The listener is registered in shared_epoll; accept_port_callers takes
 * what it accepted. Returns a registration id (> 0), -1 when
 * the port cannot be opened (last_socket_error tells why), or
 * PORT_STREAM_ID_TAKEN. Any thread; takes only the table's own lock.
 */
int64_t listen_on_port(const endpoint_url_t &endpoint, const socket_owner_t &owner);
// Takes the endpoint off its port; the listener closes with the last one. No
// caller selected for it is handed over afterwards. 0 is ignored.
void stop_listening(int64_t registration);

/*
 * Accepts every caller waiting on listener and fills accepted with those whose
 * endpoint is still registered, each with its endpoint's maxbw applied; the
 * others are closed. Returns false (nothing done) when listener is no port's
 * listener. Cost: O(ports + callers); one srt_accept per caller, no lock held
 * across libsrt.
 */
bool accept_port_callers(SRTSOCKET listener, std::vector<handed_caller_t> &accepted);
// True when an endpoint other than those in ignored serves the stream id of
// endpoint on its port (family and number).
bool port_serves_stream_id(const endpoint_url_t &endpoint, const std::vector<int64_t> &ignored);

// One endpoint as selection sees it.
struct port_candidate_t {
    const char *streamid; // as configured; "" takes callers no other endpoint selects
    bool source;
};

/*
 * The endpoint a caller presenting caller_id selects among count endpoints of
 * one port: its index, or -1 with *reject set. A lone endpoint keeps the plain
 * rule: an empty configured id takes every caller, another only a caller that
 * presents exactly it (else SRT_REJX_FORBIDDEN). With several: an id equal to
 * a configured one selects it; an access-control id "#!::key=value,..." (also
 * sent as "%23!::...") selects
 * by "r" on the side its "m" names (publish: a source; request or none: a
 * target), SRT_REJX_BAD_MODE for the right resource on the wrong side or
 * m=bidirectional, SRT_REJX_NOTSUP_MEDIA for a "t" other than stream; other
 * keys are ignored. What selects nothing goes to the endpoint with an empty id
 * (of the allowed side), else SRT_REJX_NOTFOUND. A refusal sets *named to the
 * endpoint the caller named (the lone one, or the one on the wrong side), or
 * -1. O(count).
 */
int select_port_endpoint(const port_candidate_t *endpoints, size_t count, const char *caller_id,
                         int *reject, int *named);

// Handshake refusals made since the last sweep, by owner and reason.
// A caller whose handshake failed after its stream id selected an endpoint (libsrt
// refused its passphrase, or its lack of one) counts as PORT_REFUSED_SECRET when the
// endpoint has a passphrase, else PORT_REFUSED_HANDSHAKE.
enum port_refusal_t {
    PORT_REFUSED_STREAMID = 0,
    PORT_REFUSED_BADMODE = 1,
    PORT_REFUSED_SECRET = 2,
    PORT_REFUSED_HANDSHAKE = 3,
    PORT_REFUSED_ADDRESS = 4, // not in the endpoint's allow list (1403)
    PORT_REFUSED_FULL = 5,    // maxcallers callers already (1402)
    PORT_REFUSED_AUTH = 6,    // a denial of the authorizer still cached (1401)
    PORT_REFUSAL_COUNT = 7
};
typedef void (*port_refusals_fn)(const socket_owner_t &owner, port_refusal_t reason,
                                 uint64_t refused, void *context);

// The caller sock, handed over by accept_port_callers, is gone: it no longer
// counts against its endpoint's maxcallers. Any thread; takes g_ports_lock.
void forget_port_caller(SRTSOCKET sock);

// Reports new refusals of every endpoint (those of endpoints taken off their
// port since the last sweep too), counts and logs callers let in at the
// stream id gate whose handshake then failed, forgets callers that never
// completed it, forgets handed-over callers libsrt has closed, then frees what closed listeners
// left once libsrt has forgotten them. Main thread, once a second; calls report with no lock of its
// own held.
void sweep_port_table(port_refusals_fn report, void *context);

// Callers refused without naming an endpoint of their port, by port and reason
// ("notfound", or "badmode" for a mode or type no endpoint serves), since the start.
struct port_refusals_t {
    int port;
    const char *reason;
    uint64_t refused;
};
void port_refusal_counts(std::vector<port_refusals_t> &counts);
