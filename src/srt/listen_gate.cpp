// Listen gates: what a listener does during each handshake, on libsrt's receive thread.
#include "srt/listen_gate.h"

#include <netdb.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <list>
#include <vector>

#include <srt/access_control.h>

#include "core/log.h"

#define GATE_LOG_INTERVAL_MS 1000

doorbell_t::doorbell_t()
{
    pthread_condattr_t monotonic;
    pthread_condattr_init(&monotonic);
    pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
    pthread_mutex_init(&lock, nullptr);
    pthread_cond_init(&cond, &monotonic);
    pthread_condattr_destroy(&monotonic);
}

doorbell_t::~doorbell_t()
{
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&lock);
}

void ring_doorbell(doorbell_t &bell)
{
    pthread_mutex_lock(&bell.lock);
    bell.rung = true;
    pthread_cond_broadcast(&bell.cond);
    pthread_mutex_unlock(&bell.lock);
}

bool wait_doorbell(doorbell_t &bell, int timeout_ms)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&bell.lock);
    int waited = 0;
    while (!bell.rung && waited == 0)
        waited = pthread_cond_timedwait(&bell.cond, &bell.lock, &until);
    bool rung = bell.rung;
    bell.rung = false;
    pthread_mutex_unlock(&bell.lock);
    return rung;
}

struct listen_gate_t {
    SRTSOCKET listener = SRT_INVALID_SOCK;
    char streamid[100] = "";
    socket_owner_t owner = {0, -1, nullptr};
    std::atomic<uint64_t> refused{0};
    uint64_t reported = 0; // refusals already handed to the sweep's report
    std::atomic<uint64_t> last_log_ms{0};
    std::atomic<uint32_t> unlogged{0};
};

// Nodes never move; a gate is freed only by the sweep, once its listener is gone.
static std::list<listen_gate_t> g_gates;
static pthread_mutex_t g_gates_lock = PTHREAD_MUTEX_INITIALIZER;

static void log_refusal(listen_gate_t &gate, const struct sockaddr *peer)
{
    uint64_t now = now_ms();
    uint64_t last = gate.last_log_ms.load();
    if (now - last < GATE_LOG_INTERVAL_MS || !gate.last_log_ms.compare_exchange_strong(last, now)) {
        gate.unlogged++;
        return;
    }
    char host[64] = "?";
    char service[16] = "?";
    if (peer != nullptr)
        getnameinfo(peer, peer->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in),
                    host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    char target[32] = "";
    if (gate.owner.target_id != -1)
        snprintf(target, sizeof target, " target %d", gate.owner.target_id);
    uint32_t more = gate.unlogged.exchange(0);
    char more_text[64] = "";
    if (more != 0)
        snprintf(more_text, sizeof more_text, " (%u more refused since the last line)", more);
    log_messagef(LOG_LEVEL_WARNING,
                 "[CONNTHREAD] Refused caller %s:%s on route %d%s: wrong stream id%s\n", host,
                 service, gate.owner.route_id, target, more_text);
}

// libsrt's receive thread, for every handshake on the listener. Returns 0 to
// let the caller in, -1 to refuse it.
static int check_stream_id(void *opaque, SRTSOCKET caller, int, const struct sockaddr *peer,
                           const char *streamid)
{
    listen_gate_t &gate = *static_cast<listen_gate_t *>(opaque);
    if (gate.streamid[0] == '\0' ||
        (streamid != nullptr && streamid[0] != '\0' && strcmp(streamid, gate.streamid) == 0)) {
        if (gate.owner.doorbell)
            ring_doorbell(*gate.owner.doorbell);
        return 0;
    }
    srt_setrejectreason(caller, SRT_REJX_FORBIDDEN);
    gate.refused++;
    log_refusal(gate, peer);
    return -1;
}

int install_listen_gate(SRTSOCKET listener, const char *streamid, const socket_owner_t &owner)
{
    std::list<listen_gate_t> fresh;
    listen_gate_t &gate = fresh.emplace_back();
    gate.listener = listener;
    snprintf(gate.streamid, sizeof gate.streamid, "%s", streamid);
    gate.owner = owner;
    if (srt_listen_callback(listener, check_stream_id, &gate) == SRT_ERROR)
        return -1;
    pthread_mutex_lock(&g_gates_lock);
    g_gates.splice(g_gates.end(), fresh);
    pthread_mutex_unlock(&g_gates_lock);
    return 0;
}

struct gate_report_t {
    socket_owner_t owner;
    uint64_t refused;
};

void sweep_listen_gates(gate_refusals_fn report, void *context)
{
    std::vector<gate_report_t> reports;
    std::list<listen_gate_t> gone;
    pthread_mutex_lock(&g_gates_lock);
    for (auto it = g_gates.begin(); it != g_gates.end();) {
        auto next = std::next(it);
        // Read before the state: a refusal racing the check is reported next time,
        // or here when the listener is already gone and can refuse no more.
        uint64_t refused = it->refused.load();
        bool listener_gone = srt_getsockstate(it->listener) == SRTS_NONEXIST;
        if (listener_gone)
            refused = it->refused.load();
        if (refused != it->reported) {
            reports.push_back({it->owner, refused - it->reported});
            it->reported = refused;
        }
        if (listener_gone)
            gone.splice(gone.end(), g_gates, it);
        it = next;
    }
    pthread_mutex_unlock(&g_gates_lock);
    for (const gate_report_t &entry : reports)
        report(entry.owner, entry.refused, context);
}
