// The listening ports: one SRT listener per UDP port, the stream id gate of its handshakes, and
// the acceptance of its callers for the endpoint each one selected.
#include "srt/port_table.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <list>
#include <map>
#include <string>

#include <srt/access_control.h>

#include "core/events.h"
#include "core/log.h"
#include "routing/authorization.h"
#include "srt/socket.h"

#define REFUSAL_LOG_INTERVAL_MS 1000
// A caller let in at the handshake and not accepted within this time never will be.
#define PENDING_CALLER_MS 30000
#define LISTEN_BACKLOG 100

int shared_epoll(void)
{
    static int epoll = [] {
        int created = srt_epoll_create();
        // A wait with nothing registered sleeps instead of failing at once.
        if (created >= 0)
            srt_epoll_set(created, SRT_EPOLL_ENABLE_EMPTY);
        return created;
    }();
    return epoll;
}

/*
 * The table, all under g_ports_lock, which is taken after any route lock and
 * the event loop's lock, before log_lock. No libsrt call that may wait for
 * libsrt's receive thread (closing or creating a listener) is made while it is
 * held: that thread takes it in the handshake callback.
 */
struct registration_t {
    int64_t id;
    int family;
    int port;
    bool source;
    char streamid[ENDPOINT_STREAMID_SIZE];
    char passphrase[ENDPOINT_PASSPHRASE_SIZE];
    int32_t pbkeylen;
    int32_t kmrefreshrate;
    int32_t kmpreannounce;
    int64_t latency;
    int64_t maxbw;
    allow_list_t allow;
    int32_t maxcallers;
    socket_owner_t owner;
    uint64_t refused[PORT_REFUSAL_COUNT];
    uint64_t reported[PORT_REFUSAL_COUNT];
};

// A port is known by its address family and number: [::]:9000 is not 0.0.0.0:9000.
struct port_entry_t {
    int family = AF_INET;
    int port = 0;
    SRTSOCKET listener = SRT_INVALID_SOCK;
    std::vector<int64_t> registrations; // in the order they came
    uint64_t last_log_ms = 0;
    uint32_t unlogged = 0; // refusals not logged since the last line
};

struct pending_caller_t {
    int64_t registration;
    uint64_t selected_ms;
    struct sockaddr_storage peer;
};

static pthread_mutex_t g_ports_lock = PTHREAD_MUTEX_INITIALIZER;
// Nodes never move: a listener's callback holds its entry. A closed entry is
// parked until libsrt has forgotten its listener. None of the table is ever
// destroyed: libsrt's threads and the event loop outlive main.
static std::list<port_entry_t> &g_ports = *new std::list<port_entry_t>();
static std::list<port_entry_t> &g_closed_ports = *new std::list<port_entry_t>();
static std::map<int64_t, registration_t> &g_registrations =
    *new std::map<int64_t, registration_t>();
// Taken off their port with refusals the last sweep has not reported yet.
static std::vector<registration_t> &g_departed = *new std::vector<registration_t>();
// Let in at the handshake, not yet accepted.
static std::map<SRTSOCKET, pending_caller_t> &g_pending =
    *new std::map<SRTSOCKET, pending_caller_t>();
// Handed over to the event loop and not yet gone, with their registration
// (one with maxcallers): with the callers in g_pending, what maxcallers counts.
static std::map<SRTSOCKET, int64_t> &g_admitted = *new std::map<SRTSOCKET, int64_t>();
// Refusals that name no endpoint, by port and reason (true: a mode or type not served).
static std::map<std::pair<int, bool>, uint64_t> &g_port_refused =
    *new std::map<std::pair<int, bool>, uint64_t>();
static int64_t g_next_registration = 1;

// AF_INET6 for an IPv6 endpoint, AF_INET for any other (a record's 0 too).
static int family_of(const endpoint_url_t &endpoint)
{
    return endpoint.family == AF_INET6 ? AF_INET6 : AF_INET;
}

// Caller holds g_ports_lock.
static port_entry_t *find_port(int family, int port)
{
    for (port_entry_t &entry : g_ports)
        if (entry.family == family && entry.port == port)
            return &entry;
    return nullptr;
}

int select_port_endpoint(const port_candidate_t *endpoints, size_t count, const char *caller_id,
                         int *reject, int *named)
{
    const char *id = caller_id != nullptr ? caller_id : "";
    *named = -1;
    if (count == 1) {
        if (endpoints[0].streamid[0] == '\0' ||
            (id[0] != '\0' && strcmp(id, endpoints[0].streamid) == 0))
            return 0;
        *named = 0;
        *reject = SRT_REJX_FORBIDDEN;
        return -1;
    }
    for (size_t i = 0; i < count; i++)
        if (strcmp(endpoints[i].streamid, id) == 0)
            return (int)i;

    // Only a plain id that nobody named is left for the default endpoint.
    std::string resource;
    bool want_source = false;
    // Some callers send the '#' percent-encoded, as they would write it in a URL.
    size_t prefix = strncmp(id, "#!::", 4) == 0 ? 4 : strncmp(id, "%23!::", 6) == 0 ? 6 : 0;
    bool access_control = prefix != 0;
    if (access_control) {
        std::string mode, type;
        std::string text = id + prefix;
        for (size_t at = 0; at <= text.size();) {
            size_t comma = text.find(',', at);
            std::string pair =
                text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            size_t equals = pair.find('=');
            std::string key = pair.substr(0, equals);
            std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
            if (key == "r")
                resource = value;
            else if (key == "m")
                mode = value;
            else if (key == "t")
                type = value;
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
        if (!type.empty() && type != "stream") {
            *reject = SRT_REJX_NOTSUP_MEDIA;
            return -1;
        }
        if (mode != "" && mode != "request" && mode != "publish") {
            *reject = SRT_REJX_BAD_MODE;
            return -1;
        }
        want_source = mode == "publish";
        for (size_t i = 0; i < count; i++) {
            if (strcmp(endpoints[i].streamid, resource.c_str()) != 0)
                continue;
            if (endpoints[i].source == want_source)
                return (int)i;
            *named = (int)i;
            *reject = SRT_REJX_BAD_MODE;
            return -1;
        }
    }
    for (size_t i = 0; i < count; i++)
        if (endpoints[i].streamid[0] == '\0' &&
            (!access_control || endpoints[i].source == want_source))
            return (int)i;
    *reject = SRT_REJX_NOTFOUND;
    return -1;
}

// What a caller refused by an endpoint's own policy was refused for, as counted and logged.
static const char *policy_reason(int policy)
{
    return policy == PORT_REFUSED_ADDRESS ? "address" : policy == PORT_REFUSED_FULL ? "full" : "auth";
}

static const char *policy_text(int policy)
{
    return policy == PORT_REFUSED_ADDRESS ? "address not allowed"
           : policy == PORT_REFUSED_FULL  ? "the endpoint has its maxcallers callers"
                                          : "denied by the authorizer a moment ago";
}

// One line a second at most per port; the others are counted into the next.
// policy: a port_refusal_t of the endpoint's own policy (address, full, auth),
// or -1 when the reject code tells why. Caller holds g_ports_lock (the line is
// queued, never written here).
static void log_refusal(port_entry_t &entry, const struct sockaddr *peer, const char *caller_id,
                        int reject, const registration_t *selected, int policy = -1)
{
    char peer_text[NI_MAXHOST + NI_MAXSERV + 4] = "";
    if (peer != nullptr)
        format_peer_address(peer,
                            peer->sa_family == AF_INET6 ? (int)sizeof(sockaddr_in6)
                                                        : (int)sizeof(sockaddr_in),
                            peer_text, sizeof peer_text);
    // Every refusal is an event; only the log lines are folded.
    const char *reason = reject == SRT_REJX_FORBIDDEN   ? "streamid"
                         : reject == SRT_REJX_NOTFOUND  ? "notfound"
                         : reject == SRT_REJ_BADSECRET  ? "secret"
                         : reject == SRT_REJ_UNKNOWN    ? "handshake"
                                                        : "badmode";
    if (policy >= 0)
        reason = policy_reason(policy);
    emit_event(EVENT_CALLER_REFUSED,
               {selected != nullptr ? selected->owner.route_id : -1,
                selected != nullptr ? selected->owner.target_id : -1, peer_text, caller_id},
               {{"reason", reason}, {"code", reject}, {"port", entry.port}});
    uint64_t now = monotonic_ms();
    if (entry.last_log_ms != 0 && now - entry.last_log_ms < REFUSAL_LOG_INTERVAL_MS) {
        entry.unlogged++;
        return;
    }
    entry.last_log_ms = now;
    const char *address = peer_text[0] != '\0' ? peer_text : "?";
    char more[64] = "";
    if (entry.unlogged != 0)
        snprintf(more, sizeof more, " (%u more refused since the last line)", entry.unlogged);
    entry.unlogged = 0;
    if (selected != nullptr && (policy >= 0 || reject == SRT_REJX_FORBIDDEN ||
                                reject == SRT_REJ_BADSECRET || reject == SRT_REJ_UNKNOWN)) {
        char target[32] = "";
        if (selected->owner.target_id != -1)
            snprintf(target, sizeof target, " target %d", selected->owner.target_id);
        const char *why = policy >= 0                    ? policy_text(policy)
                          : reject == SRT_REJX_FORBIDDEN ? "wrong stream id"
                          : reject == SRT_REJ_BADSECRET
                              ? "handshake failed (wrong or missing passphrase)"
                              : "handshake failed";
        log_messagef(LOG_LEVEL_WARNING, "[CONNTHREAD] Refused caller %s on route %d%s: %s%s\n",
                     address, selected->owner.route_id, target, why, more);
        return;
    }
    log_messagef(LOG_LEVEL_WARNING,
                 "[CONNTHREAD] Refused caller %s on port %d: stream id \"%s\" %s (reject %d)%s\n",
                 address, entry.port, caller_id,
                 reject == SRT_REJX_NOTFOUND ? "is served by no endpoint"
                                             : "asks for a mode or type this port does not serve",
                 reject, more);
}

// The options of the selected endpoint on the new socket, before the handshake ends.
static void apply_endpoint_options(SRTSOCKET sock, const registration_t &selected)
{
    if (selected.latency != 0) {
        int latency = (int)selected.latency;
        srt_setsockflag(sock, SRTO_LATENCY, &latency, sizeof latency);
    }
    if (selected.passphrase[0] != '\0')
        srt_setsockflag(sock, SRTO_PASSPHRASE, selected.passphrase,
                        (int)strlen(selected.passphrase));
    if (selected.pbkeylen > 0) {
        int pbkeylen = selected.pbkeylen;
        srt_setsockflag(sock, SRTO_PBKEYLEN, &pbkeylen, sizeof pbkeylen);
    }
    set_key_refresh(sock, selected.kmrefreshrate, selected.kmpreannounce);
}

// Callers of the registration in the handshake or handed over. Caller holds
// g_ports_lock. O(callers of the process): only asked for an endpoint with maxcallers.
static int32_t count_callers(int64_t registration)
{
    int32_t count = 0;
    for (const auto &pair : g_pending)
        count += pair.second.registration == registration;
    for (const auto &pair : g_admitted)
        count += pair.second == registration;
    return count;
}

// Why the selected endpoint's own policy turns the caller away (a
// port_refusal_t with its reject code in *reject), or -1. Caller holds g_ports_lock.
static int refuse_by_policy(const registration_t &selected, const struct sockaddr *peer,
                            const char *caller_id, int *reject)
{
    if (!address_allowed(selected.allow, peer)) {
        *reject = SRT_REJX_FORBIDDEN;
        return PORT_REFUSED_ADDRESS;
    }
    if (selected.maxcallers > 0 && count_callers(selected.id) >= selected.maxcallers) {
        *reject = SRT_REJX_OVERLOAD;
        return PORT_REFUSED_FULL;
    }
    // A caller the authorizer just denied learns it here, and the authorizer is not asked again.
    if (authorization_denial_cached(selected.source, selected.owner.route_id,
                                    selected.owner.target_id, caller_id, peer)) {
        *reject = SRT_REJX_UNAUTHORIZED;
        return PORT_REFUSED_AUTH;
    }
    return -1;
}

/*
 * libsrt's receive thread, for every handshake on a port's listener: selects
 * the endpoint and gives the new socket its options, or refuses the caller
 * with a reject code so its connect fails at once. Reads only the table, under
 * g_ports_lock; libsrt is called with the lock released. Returns 0 or -1.
 */
static int select_caller(void *opaque, SRTSOCKET caller, int, const struct sockaddr *peer,
                         const char *caller_id)
{
    port_entry_t &entry = *static_cast<port_entry_t *>(opaque);
    pthread_mutex_lock(&g_ports_lock);
    std::vector<port_candidate_t> candidates;
    std::vector<registration_t *> registrations;
    for (int64_t id : entry.registrations) {
        auto found = g_registrations.find(id);
        if (found == g_registrations.end())
            continue;
        candidates.push_back({found->second.streamid, found->second.source});
        registrations.push_back(&found->second);
    }
    int reject = SRT_REJX_NOTFOUND;
    int named = -1;
    int index =
        select_port_endpoint(candidates.data(), candidates.size(), caller_id, &reject, &named);
    registration_t selected = {};
    int policy =
        index >= 0 ? refuse_by_policy(*registrations[(size_t)index], peer, caller_id, &reject) : -1;
    if (policy >= 0) {
        registration_t &refusing = *registrations[(size_t)index];
        refusing.refused[policy]++;
        log_refusal(entry, peer, caller_id != nullptr ? caller_id : "", reject, &refusing, policy);
        index = -1;
    } else if (index >= 0) {
        selected = *registrations[(size_t)index];
        pending_caller_t &pending = g_pending[caller];
        pending = {selected.id, monotonic_ms(), {}};
        if (peer != nullptr)
            memcpy(&pending.peer, peer,
                   peer->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    } else {
        // Counted on the route of the endpoint the caller named, else on the port.
        registration_t *counted = named >= 0 ? registrations[(size_t)named] : nullptr;
        if (counted != nullptr)
            counted->refused[reject == SRT_REJX_FORBIDDEN ? PORT_REFUSED_STREAMID
                                                          : PORT_REFUSED_BADMODE]++;
        else
            g_port_refused[{entry.port, reject != SRT_REJX_NOTFOUND}]++;
        log_refusal(entry, peer, caller_id != nullptr ? caller_id : "", reject, counted);
    }
    pthread_mutex_unlock(&g_ports_lock);
    if (index < 0) {
        srt_setrejectreason(caller, reject);
        return -1;
    }
    apply_endpoint_options(caller, selected);
    return 0;
}

// The owner of one accepted caller, from the endpoint its handshake selected:
// false when that endpoint went away meanwhile.
static bool owner_of_accepted(SRTSOCKET sock, handed_caller_t &caller, int64_t &maxbw)
{
    caller = {sock, 0, -1, nullptr};
    maxbw = 0;
    pthread_mutex_lock(&g_ports_lock);
    auto pending = g_pending.find(sock);
    if (pending != g_pending.end()) {
        auto found = g_registrations.find(pending->second.registration);
        if (found != g_registrations.end()) {
            caller.registration = found->first;
            caller.target_id = found->second.owner.target_id;
            caller.handle = found->second.owner.handle;
            maxbw = found->second.maxbw;
            // Only a capped endpoint counts its callers: the others cost nothing per caller.
            if (found->second.maxcallers > 0)
                g_admitted[sock] = found->first;
        }
        g_pending.erase(pending);
    }
    pthread_mutex_unlock(&g_ports_lock);
    return caller.registration != 0;
}

bool accept_port_callers(SRTSOCKET listener, std::vector<handed_caller_t> &accepted)
{
    accepted.clear();
    pthread_mutex_lock(&g_ports_lock);
    bool known = false;
    for (const port_entry_t &entry : g_ports)
        known = known || entry.listener == listener;
    pthread_mutex_unlock(&g_ports_lock);
    if (!known)
        return false;
    for (;;) {
        struct sockaddr_storage peer;
        int peer_len = (int)sizeof peer;
        SRTSOCKET sock = srt_accept(listener, (struct sockaddr *)&peer, &peer_len);
        if (sock == SRT_INVALID_SOCK)
            break;
        handed_caller_t caller;
        int64_t maxbw = 0;
        if (!owner_of_accepted(sock, caller, maxbw)) {
            srt_close(sock);
            continue;
        }
        if (maxbw != 0)
            srt_setsockflag(sock, SRTO_MAXBW, &maxbw, sizeof maxbw);
        accepted.push_back(caller);
    }
    return true;
}

// A registration in the table or taken off its port since the last sweep.
// Caller holds g_ports_lock.
static registration_t *find_registration(int64_t id)
{
    auto found = g_registrations.find(id);
    if (found != g_registrations.end())
        return &found->second;
    for (registration_t &departed : g_departed)
        if (departed.id == id)
            return &departed;
    return nullptr;
}

// A caller let in at the stream id gate whose socket libsrt closed before it was
// accepted failed the rest of the handshake: counted on its endpoint and logged
// (folded per port). Callers that never completed it are forgotten after a
// while. Main thread; libsrt is asked with no lock held.
static void sweep_pending_callers(void)
{
    std::vector<SRTSOCKET> socks;
    pthread_mutex_lock(&g_ports_lock);
    for (const auto &pair : g_pending)
        socks.push_back(pair.first);
    pthread_mutex_unlock(&g_ports_lock);
    std::vector<SRTSOCKET> failed;
    for (SRTSOCKET sock : socks) {
        SRT_SOCKSTATUS state = srt_getsockstate(sock);
        if (state == SRTS_CLOSED || state == SRTS_NONEXIST)
            failed.push_back(sock);
    }
    uint64_t now = monotonic_ms();
    pthread_mutex_lock(&g_ports_lock);
    for (SRTSOCKET sock : failed) {
        auto pending = g_pending.find(sock);
        if (pending == g_pending.end())
            continue;
        registration_t *counted = find_registration(pending->second.registration);
        if (counted != nullptr) {
            registration_t &selected = *counted;
            bool secret = selected.passphrase[0] != '\0';
            selected.refused[secret ? PORT_REFUSED_SECRET : PORT_REFUSED_HANDSHAKE]++;
            port_entry_t *entry = find_port(selected.family, selected.port);
            if (entry != nullptr)
                log_refusal(*entry, (const struct sockaddr *)&pending->second.peer, "",
                            secret ? SRT_REJ_BADSECRET : SRT_REJ_UNKNOWN, &selected);
        }
        g_pending.erase(pending);
    }
    for (auto it = g_pending.begin(); it != g_pending.end();) {
        // A caller of an endpoint gone from its port is never handed over.
        if (now - it->second.selected_ms > PENDING_CALLER_MS ||
            g_registrations.count(it->second.registration) == 0)
            it = g_pending.erase(it);
        else
            ++it;
    }
    pthread_mutex_unlock(&g_ports_lock);
}

void forget_port_caller(SRTSOCKET sock)
{
    pthread_mutex_lock(&g_ports_lock);
    g_admitted.erase(sock);
    pthread_mutex_unlock(&g_ports_lock);
}

// Handed-over callers that libsrt has closed or found broken, or whose
// endpoint left its port, stop counting (those the relay unlisted went at
// once). Main thread; libsrt is asked with no lock held.
static void sweep_admitted_callers(void)
{
    std::vector<SRTSOCKET> socks;
    pthread_mutex_lock(&g_ports_lock);
    for (const auto &pair : g_admitted)
        socks.push_back(pair.first);
    pthread_mutex_unlock(&g_ports_lock);
    std::vector<SRTSOCKET> gone;
    for (SRTSOCKET sock : socks) {
        SRT_SOCKSTATUS state = srt_getsockstate(sock);
        if (state == SRTS_BROKEN || state == SRTS_CLOSED || state == SRTS_NONEXIST)
            gone.push_back(sock);
    }
    pthread_mutex_lock(&g_ports_lock);
    for (SRTSOCKET sock : gone)
        g_admitted.erase(sock);
    for (auto it = g_admitted.begin(); it != g_admitted.end();)
        it = g_registrations.count(it->second) == 0 ? g_admitted.erase(it) : std::next(it);
    pthread_mutex_unlock(&g_ports_lock);
}

static registration_t make_registration(const endpoint_url_t &endpoint, const socket_owner_t &owner)
{
    registration_t registration = {};
    registration.family = family_of(endpoint);
    registration.port = endpoint.port;
    registration.source = owner.target_id == -1;
    snprintf(registration.streamid, sizeof registration.streamid, "%s", endpoint.streamid);
    snprintf(registration.passphrase, sizeof registration.passphrase, "%s", endpoint.passphrase);
    registration.pbkeylen = endpoint.pbkeylen;
    registration.kmrefreshrate = endpoint.kmrefreshrate;
    registration.kmpreannounce = endpoint.kmpreannounce;
    registration.latency = endpoint.latency;
    registration.maxbw = endpoint.maxbw;
    registration.allow = endpoint.allow;
    registration.maxcallers = endpoint.maxcallers;
    registration.owner = owner;
    return registration;
}

// Adds the registration to entry unless its stream id is taken there. Caller
// holds g_ports_lock. Returns its id or PORT_STREAM_ID_TAKEN.
static int64_t add_registration(port_entry_t &entry, registration_t &registration)
{
    for (int64_t id : entry.registrations)
        if (strcmp(g_registrations[id].streamid, registration.streamid) == 0)
            return PORT_STREAM_ID_TAKEN;
    registration.id = g_next_registration++;
    g_registrations[registration.id] = registration;
    entry.registrations.push_back(registration.id);
    return registration.id;
}

/*
 * The port's listener: a bound socket with the selection callback, listening
 * once the first registration is in the table, so no handshake finds it empty.
 */
static int64_t open_port(const endpoint_url_t &endpoint, registration_t &registration)
{
    endpoint_url_t plain = {};
    plain.mode = CONN_MODE_LISTEN;
    plain.port = endpoint.port;
    plain.family = family_of(endpoint);
    std::list<port_entry_t> fresh;
    port_entry_t &entry = fresh.emplace_back();
    entry.family = plain.family;
    entry.port = endpoint.port;
    entry.listener = create_bound_socket(&plain, plain.port, false);
    if (entry.listener == SRT_INVALID_SOCK)
        return -1;
    if (entry.port == 0) {
        // Port 0 asks for a port of its own: it is known by the one it got.
        struct sockaddr_storage bound;
        int length = (int)sizeof bound;
        if (srt_getsockname(entry.listener, (struct sockaddr *)&bound, &length) == 0)
            entry.port =
                ntohs(bound.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&bound)->sin6_port
                                                  : ((struct sockaddr_in *)&bound)->sin_port);
        registration.port = entry.port;
    }
    if (srt_listen_callback(entry.listener, select_caller, &entry) == SRT_ERROR ||
        shared_epoll() < 0) {
        report_socket_failure("srt_listen_callback: %s", srt_getlasterror_str());
        srt_close(entry.listener);
        return -1;
    }
    pthread_mutex_lock(&g_ports_lock);
    port_entry_t *existing = find_port(entry.family, entry.port);
    int64_t id = PORT_STREAM_ID_TAKEN;
    if (existing != nullptr) {
        // Another thread opened the port meanwhile: join it, drop ours.
        id = add_registration(*existing, registration);
        pthread_mutex_unlock(&g_ports_lock);
        srt_close(entry.listener);
        return id;
    }
    id = add_registration(entry, registration);
    g_ports.splice(g_ports.end(), fresh);
    pthread_mutex_unlock(&g_ports_lock);

    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (srt_listen(entry.listener, LISTEN_BACKLOG) == SRT_ERROR ||
        srt_epoll_add_usock(shared_epoll(), entry.listener, &events) == SRT_ERROR) {
        report_socket_failure("srt_listen: %s", srt_getlasterror_str());
        stop_listening(id);
        return -1;
    }
    return id;
}

int64_t listen_on_port(const endpoint_url_t &endpoint, const socket_owner_t &owner)
{
    log_endpoint_options(&endpoint);
    registration_t registration = make_registration(endpoint, owner);
    pthread_mutex_lock(&g_ports_lock);
    port_entry_t *entry =
        endpoint.port != 0 ? find_port(family_of(endpoint), endpoint.port) : nullptr;
    if (entry != nullptr) {
        int64_t id = add_registration(*entry, registration);
        pthread_mutex_unlock(&g_ports_lock);
        return id;
    }
    pthread_mutex_unlock(&g_ports_lock);
    return open_port(endpoint, registration);
}

void stop_listening(int64_t registration)
{
    if (registration <= 0)
        return;
    SRTSOCKET closing = SRT_INVALID_SOCK;
    pthread_mutex_lock(&g_ports_lock);
    auto found = g_registrations.find(registration);
    if (found != g_registrations.end()) {
        port_entry_t *entry = find_port(found->second.family, found->second.port);
        // Kept until the next sweep: its callers still in the handshake are counted
        // there, and what it refused is reported.
        g_departed.push_back(found->second);
        g_registrations.erase(found);
        if (entry != nullptr) {
            std::vector<int64_t> &ids = entry->registrations;
            for (auto it = ids.begin(); it != ids.end(); ++it)
                if (*it == registration) {
                    ids.erase(it);
                    break;
                }
            if (ids.empty()) {
                closing = entry->listener;
                for (auto it = g_ports.begin(); it != g_ports.end(); ++it)
                    if (&*it == entry) {
                        g_closed_ports.splice(g_closed_ports.end(), g_ports, it);
                        break;
                    }
            }
        }
    }
    pthread_mutex_unlock(&g_ports_lock);
    if (closing != SRT_INVALID_SOCK) {
        srt_epoll_remove_usock(shared_epoll(), closing);
        srt_close(closing);
    }
}

bool port_serves_stream_id(const endpoint_url_t &endpoint, const std::vector<int64_t> &ignored)
{
    bool taken = false;
    const char *streamid = endpoint.streamid;
    pthread_mutex_lock(&g_ports_lock);
    port_entry_t *entry = find_port(family_of(endpoint), endpoint.port);
    for (size_t i = 0; entry != nullptr && i < entry->registrations.size() && !taken; i++) {
        int64_t id = entry->registrations[i];
        bool skip = false;
        for (int64_t other : ignored)
            skip = skip || other == id;
        taken = !skip && strcmp(g_registrations[id].streamid, streamid) == 0;
    }
    pthread_mutex_unlock(&g_ports_lock);
    return taken;
}

struct refusal_report_t {
    socket_owner_t owner;
    port_refusal_t reason;
    uint64_t refused;
};

void sweep_port_table(port_refusals_fn report, void *context)
{
    sweep_pending_callers();
    sweep_admitted_callers();
    std::vector<refusal_report_t> reports;
    std::vector<SRTSOCKET> closed;
    pthread_mutex_lock(&g_ports_lock);
    auto collect = [&reports](registration_t &registration) {
        for (int reason = 0; reason < PORT_REFUSAL_COUNT; reason++) {
            uint64_t refused = registration.refused[reason];
            if (refused == registration.reported[reason])
                continue;
            reports.push_back({registration.owner, (port_refusal_t)reason,
                               refused - registration.reported[reason]});
            registration.reported[reason] = refused;
        }
    };
    for (auto &pair : g_registrations)
        collect(pair.second);
    for (registration_t &registration : g_departed)
        collect(registration);
    g_departed.clear();
    for (const port_entry_t &entry : g_closed_ports)
        closed.push_back(entry.listener);
    pthread_mutex_unlock(&g_ports_lock);

    // A listener libsrt no longer knows runs no callback: its entry may go.
    std::vector<SRTSOCKET> forgotten;
    for (SRTSOCKET listener : closed)
        if (srt_getsockstate(listener) == SRTS_NONEXIST)
            forgotten.push_back(listener);
    std::list<port_entry_t> gone;
    pthread_mutex_lock(&g_ports_lock);
    for (auto it = g_closed_ports.begin(); it != g_closed_ports.end();) {
        auto next = std::next(it);
        for (SRTSOCKET listener : forgotten)
            if (it->listener == listener) {
                gone.splice(gone.end(), g_closed_ports, it);
                break;
            }
        it = next;
    }
    pthread_mutex_unlock(&g_ports_lock);
    for (const refusal_report_t &entry : reports)
        report(entry.owner, entry.reason, entry.refused, context);
}

void port_refusal_counts(std::vector<port_refusals_t> &counts)
{
    counts.clear();
    pthread_mutex_lock(&g_ports_lock);
    for (const auto &pair : g_port_refused)
        counts.push_back(
            {pair.first.first, pair.first.second ? "badmode" : "notfound", pair.second});
    pthread_mutex_unlock(&g_ports_lock);
}
