// The authorization hook: callers of listening endpoints checked with the operator's HTTP service.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <srt/srt.h>

// Requests to the authorizer under way at once; more wait in a queue of AUTH_QUEUE_MAX checks.
#define AUTH_IN_FLIGHT_MAX 32
#define AUTH_QUEUE_MAX 1024
// How long a deny is remembered; an allow lasts g_auth_cache_s.
#define AUTH_DENY_CACHE_MS 5000
// Decisions remembered at most; past that, new ones are not kept.
#define AUTH_CACHE_MAX 100000

/*
 * How a check is made and answered (the README has the protocol):
 * the key is (action, route, endpoint, stream id, peer address). A decision
 * cached for the key answers at once; otherwise the check joins the request
 * under way for the same key, or one is made: POSTed by the outgoing HTTP
 * thread (http/outgoing_http.h), at most AUTH_IN_FLIGHT_MAX at a time, the
 * others queued. 2xx allows, 401 and 403 deny; any other status, no answer
 * within g_auth_timeout_ms or a full queue is an error, which denies unless
 * g_auth_fail_open. Errors are not cached. Answers reach the event loop
 * through take_auth_decisions.
 *
 * g_auth_lock (authorization.cpp) guards the cache, the requests and the
 * decisions waiting for the loop. It comes after g_ports_lock (the handshake
 * callback asks the cache) and before the outgoing client's lock and
 * log_lock; nothing is logged or emitted under it.
 */

// One caller to check, as the event loop knows it once accepted.
struct auth_check_t {
    SRTSOCKET sock;
    bool publish; // a publisher of a source; false: a player of a target
    int32_t route_id;
    int32_t target_id; // -1: the source
    const char *stream_id;
    const char *peer; // numeric "host:port" or "[v6]:port"
    int port;         // the local UDP port
};

// What the authorizer (or its absence) made of one held caller.
struct auth_decision_t {
    SRTSOCKET sock;
    bool allowed;
    bool error;  // no usable answer: allowed says what fail-open made of it
    long status; // the HTTP status, 0 when none came
};

// True when MIREVO_AUTH_URL is set.
bool authorization_enabled(void);

/*
 * Starts the hook when MIREVO_AUTH_URL is set: the outgoing HTTP thread.
 * Returns 0, or -1 with a line saying why; the hook stays on then and every
 * check is an error, so callers are not let in unchecked. Main thread, before
 * the routes load.
 */
int start_authorization(void);

/*
 * True when a deny is cached for the key, or ran out while the key is being
 * asked again: the handshake refuses the caller with 1401. peer is the caller's address as libsrt
 * gives it. Any thread; takes g_auth_lock. O(log cache).
 */
bool authorization_denial_cached(bool publish, int32_t route_id, int32_t target_id,
                                 const char *stream_id, const struct sockaddr *peer);

enum auth_verdict_t { AUTH_ALLOWED = 0, AUTH_DENIED = 1, AUTH_PENDING = 2 };
/*
 * Asks about a caller just accepted. AUTH_ALLOWED or AUTH_DENIED when the
 * answer is known now (cached, or an error such as a full queue; *now says
 * which), AUTH_PENDING when the caller is to be held until its decision comes
 * through take_auth_decisions. Event loop; never waits (one lock, at most one
 * hand-over to the outgoing thread).
 */
auth_verdict_t request_authorization(const auth_check_t &check, auth_decision_t &now);

// Moves the decisions that came since the last call into out (cleared first).
// Event loop, every pass: O(1) when there are none. Returns !out.empty().
bool take_auth_decisions(std::vector<auth_decision_t> &out);

// One line for a caller the hook closed or refused, at most one a second: the
// others are counted into the next. Holds no secret (no header, no stream id).
// Event loop only.
void log_auth_denial(int32_t route_id, int32_t target_id, const char *peer,
                     const auth_decision_t &decision);

// mirevo_auth_requests_total{result} and mirevo_auth_answer_seconds, when the hook is on.
void append_auth_metrics(std::string &out);
