// The event loop: one thread that serves every listener and every connected socket of every route.
#include "routing/event_loop.h"

#include <pthread.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/log.h"
#include "core/signals.h"
#include "routing/connections.h"
#include "routing/held_callers.h"
#include "routing/transmit.h"
#include "routing/udp_endpoint.h"
#include "srt/port_table.h"

#define LOOP_EVENTS_MAX 1024
// The longest wait: bounds how late a timer or a stop is seen.
#define LOOP_WAIT_MS 100
// After a failed wait, so a broken epoll cannot spin the loop.
#define LOOP_FAILED_WAIT_US (10 * 1000)

static const int SOURCE_CONNECTION_EVENTS = SRT_EPOLL_IN | SRT_EPOLL_ERR;
static const int TARGET_CONNECTION_EVENTS = SRT_EPOLL_ERR;
static const int CONNECTING_EVENTS = SRT_EPOLL_OUT | SRT_EPOLL_ERR;

struct watched_t {
    route_t *route;
    int32_t target_id; // -1: the source
};

struct route_timer_t {
    uint64_t due_ms;
    route_t *route;
    bool operator>(const route_timer_t &other) const { return due_ms > other.due_ms; }
};

// The loop's tables, under g_loop_lock (see registry.h). Never destroyed: the
// loop outlives main.
static pthread_mutex_t g_loop_lock = PTHREAD_MUTEX_INITIALIZER;
static std::unordered_map<SRTSOCKET, watched_t> &g_watched =
    *new std::unordered_map<SRTSOCKET, watched_t>();
static std::unordered_set<route_t *> &g_served = *new std::unordered_set<route_t *>();
static std::priority_queue<route_timer_t, std::vector<route_timer_t>, std::greater<route_timer_t>>
    &g_timers = *new std::priority_queue<route_timer_t, std::vector<route_timer_t>,
                                         std::greater<route_timer_t>>();
static std::atomic<uint64_t> g_loop_passes{0};
// UDP sources watched: their sockets are in an epoll of their own, looked at
// after each wait of the loop.
static std::atomic<int> g_system_sockets{0};
// The longest wait in libsrt while UDP sources are watched.
#define UDP_LOOK_MS 5
// A UDP source filled its batch in the last pass: the next wait does not sleep.
// Event loop thread only.
static bool g_udp_more = false;

static int udp_epoll(void)
{
    static int epoll = epoll_create1(EPOLL_CLOEXEC);
    return epoll;
}
static std::atomic<bool> g_loop_started{false};
static pthread_once_t g_loop_once = PTHREAD_ONCE_INIT;

int watch_socket(route_t &route, SRTSOCKET sock, int32_t target_id, bool listed)
{
    const int *events = !listed            ? &CONNECTING_EVENTS
                        : target_id == -1 ? &SOURCE_CONNECTION_EVENTS
                                          : &TARGET_CONNECTION_EVENTS;
    // Listed in the table first: an event may come before this returns.
    pthread_mutex_lock(&g_loop_lock);
    bool fresh = g_watched.emplace(sock, watched_t{&route, target_id}).second;
    if (fresh)
        route.watched++;
    pthread_mutex_unlock(&g_loop_lock);
    int result = fresh ? srt_epoll_add_usock(shared_epoll(), sock, events)
                       : srt_epoll_update_usock(shared_epoll(), sock, events);
    if (result == SRT_ERROR) {
        unwatch_socket(route, sock);
        return -1;
    }
    if (!listed)
        schedule_route_check(route, monotonic_ms());
    return 0;
}

int watch_held_socket(route_t &route, SRTSOCKET sock, int32_t target_id)
{
    pthread_mutex_lock(&g_loop_lock);
    bool fresh = g_watched.emplace(sock, watched_t{&route, target_id}).second;
    if (fresh)
        route.watched++;
    pthread_mutex_unlock(&g_loop_lock);
    if (srt_epoll_add_usock(shared_epoll(), sock, &TARGET_CONNECTION_EVENTS) == SRT_ERROR) {
        unwatch_socket(route, sock);
        return -1;
    }
    return 0;
}

int watch_system_socket(route_t &route, int fd, int sock)
{
    pthread_mutex_lock(&g_loop_lock);
    bool fresh = g_watched.emplace(sock, watched_t{&route, -1}).second;
    if (fresh) {
        route.watched++;
        g_system_sockets++;
    }
    pthread_mutex_unlock(&g_loop_lock);
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (fresh && epoll_ctl(udp_epoll(), EPOLL_CTL_ADD, fd, &event) != 0) {
        unwatch_socket(route, sock);
        return -1;
    }
    return 0;
}

// Takes sock, of either kind, out of its epoll.
static void remove_from_epoll(SRTSOCKET sock)
{
    if (is_udp_sock(sock))
        epoll_ctl(udp_epoll(), EPOLL_CTL_DEL, sock - UDP_SOCK_BASE, nullptr);
    else
        srt_epoll_remove_usock(shared_epoll(), sock);
}

void unwatch_socket(route_t &route, SRTSOCKET sock)
{
    remove_from_epoll(sock);
    pthread_mutex_lock(&g_loop_lock);
    auto found = g_watched.find(sock);
    if (found != g_watched.end() && found->second.route == &route) {
        g_watched.erase(found);
        route.watched--;
        if (is_udp_sock(sock))
            g_system_sockets--;
    }
    pthread_mutex_unlock(&g_loop_lock);
}

void schedule_route_check(route_t &route, uint64_t due_ms)
{
    pthread_mutex_lock(&g_loop_lock);
    g_timers.push({due_ms, &route});
    pthread_mutex_unlock(&g_loop_lock);
}

bool loop_passed(uint64_t pass)
{
    return !g_loop_started || g_loop_passes >= pass + 2;
}

// The route and side of a watched socket. False when nobody watches it.
static bool find_watched(SRTSOCKET sock, watched_t &watched)
{
    pthread_mutex_lock(&g_loop_lock);
    auto found = g_watched.find(sock);
    bool known = found != g_watched.end();
    if (known)
        watched = found->second;
    pthread_mutex_unlock(&g_loop_lock);
    return known;
}

static bool route_served(void *route)
{
    pthread_mutex_lock(&g_loop_lock);
    bool served = g_served.count(static_cast<route_t *>(route)) != 0;
    pthread_mutex_unlock(&g_loop_lock);
    return served;
}

// Callers a port's listener accepted go to their routes; those of a route no
// longer served are closed. O(callers).
static void hand_callers(const std::vector<handed_caller_t> &callers)
{
    for (const handed_caller_t &caller : callers) {
        if (route_served(caller.handle))
            take_port_caller(*static_cast<route_t *>(caller.handle), caller);
        else
            srt_close(caller.sock);
    }
}

// One reported socket. Cost: a table lookup, then O(messages read x
// subscribers) sends for a source connection, O(1) for an accept or a state
// change. Never waits but for the route's locks.
static void dispatch(const SRT_EPOLL_EVENT &event, std::vector<handed_caller_t> &callers)
{
    watched_t watched;
    if (!find_watched(event.fd, watched)) {
        if (accept_port_callers(event.fd, callers))
            hand_callers(callers);
        return;
    }
    route_t &route = *watched.route;
    if (is_udp_sock(event.fd)) {
        if (read_udp_source(route, event.fd))
            g_udp_more = true;
        return;
    }
    if ((event.events & SRT_EPOLL_IN) != 0 && watched.target_id == -1)
        read_source(route, event.fd);
    if ((event.events & (SRT_EPOLL_OUT | SRT_EPOLL_ERR)) != 0)
        handle_route_socket(route, event.fd, watched.target_id);
}

// Decisions of the authorizer go to the routes of their held callers; a
// caller no longer watched was closed with its route. O(decisions).
static void settle_decisions(std::vector<auth_decision_t> &decisions)
{
    if (!take_auth_decisions(decisions))
        return;
    for (const auth_decision_t &decision : decisions) {
        watched_t watched;
        if (find_watched(decision.sock, watched) && route_served(watched.route))
            settle_held_caller(*watched.route, decision);
    }
}

// How long the loop may wait for sockets before the first timer is due.
static int timer_wait_ms(void)
{
    uint64_t now = monotonic_ms();
    int wait = LOOP_WAIT_MS;
    pthread_mutex_lock(&g_loop_lock);
    if (!g_timers.empty()) {
        uint64_t due = g_timers.top().due_ms;
        wait = due <= now ? 0 : due - now < (uint64_t)LOOP_WAIT_MS ? (int)(due - now) : wait;
    }
    pthread_mutex_unlock(&g_loop_lock);
    return wait;
}

// Looks at every route whose timer is due: base sockets, redials. A route
// armed twice is looked at once. O(due timers x log).
static void run_due_timers(std::vector<route_t *> &due)
{
    due.clear();
    uint64_t now = monotonic_ms();
    pthread_mutex_lock(&g_loop_lock);
    while (!g_timers.empty() && g_timers.top().due_ms <= now) {
        route_t *route = g_timers.top().route;
        g_timers.pop();
        if (g_served.count(route) != 0)
            due.push_back(route);
    }
    pthread_mutex_unlock(&g_loop_lock);
    std::sort(due.begin(), due.end());
    due.erase(std::unique(due.begin(), due.end()), due.end());
    for (route_t *route : due) {
        uint64_t next = service_route(*route);
        if (next != UINT64_MAX)
            schedule_route_check(*route, next);
    }
}

/*
 * srt_epoll_uwait, then, while UDP sources are watched, a look without waiting
 * at their epoll, whose ready sockets are added as IN events under their ids.
 * libsrt's wait reports no system socket, so while any is watched it waits at
 * most UDP_LOOK_MS (not at all when a source left datagrams unread): the kernel
 * holds what arrives meanwhile. Returns the count
 * of events, or what libsrt returned when there are none. O(ready sockets).
 */
static int wait_for_sockets(SRT_EPOLL_EVENT *events, int size, int wait_ms)
{
    if (g_system_sockets == 0)
        return srt_epoll_uwait(shared_epoll(), events, size, wait_ms);
    int look_ms = g_udp_more ? 0 : wait_ms < UDP_LOOK_MS ? wait_ms : UDP_LOOK_MS;
    g_udp_more = false;
    int count = srt_epoll_uwait(shared_epoll(), events, size, look_ms);
    static struct epoll_event ready[LOOP_EVENTS_MAX];
    int used = count > 0 ? count : 0;
    int room = size - used;
    int system_count = room > 0 ? epoll_wait(udp_epoll(), ready, room, 0) : 0;
    for (int i = 0; i < system_count; i++)
        events[used++] = SRT_EPOLL_EVENT(UDP_SOCK_BASE + ready[i].data.fd, SRT_EPOLL_IN);
    return used > 0 ? used : count;
}

static void *event_loop_thread(void *)
{
    static SRT_EPOLL_EVENT events[LOOP_EVENTS_MAX];
    std::vector<handed_caller_t> callers;
    std::vector<route_t *> due;
    std::vector<auth_decision_t> decisions;
    for (;;) {
        // Nothing of the last pass is held any more (loop_passed).
        g_loop_passes++;
        int count = wait_for_sockets(events, LOOP_EVENTS_MAX, timer_wait_ms());
        for (int i = 0; i < count && i < LOOP_EVENTS_MAX; i++)
            dispatch(events[i], callers);
        run_due_timers(due);
        settle_decisions(decisions);
        if (count < 0 && srt_getlasterror(nullptr) != SRT_ETIMEOUT)
            usleep(LOOP_FAILED_WAIT_US);
    }
    return nullptr;
}

static void start_event_loop(void)
{
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, event_loop_thread, nullptr);
    if (err != 0) {
        // Nothing could be served: the relay cannot run without it.
        console_printf("cannot create the event loop: %s\n", strerror(err));
        exit_after_log(255);
    }
    pthread_setname_np(thread, "loop");
    pthread_detach(thread);
    g_loop_started = true;
}

void serve_route(route_t &route)
{
    pthread_once(&g_loop_once, start_event_loop);
    pthread_mutex_lock(&g_loop_lock);
    g_served.insert(&route);
    pthread_mutex_unlock(&g_loop_lock);
    route.running = 1;
    schedule_route_check(route, monotonic_ms());
}

void stop_serving_route(route_t &route)
{
    route.running = 0;
    pthread_mutex_lock(&g_loop_lock);
    g_served.erase(&route);
    // Whatever the route's operations left watched goes with it (O(watched),
    // only when some are left).
    for (auto it = g_watched.begin(); route.watched != 0 && it != g_watched.end();) {
        if (it->second.route != &route) {
            ++it;
            continue;
        }
        remove_from_epoll(it->first);
        if (is_udp_sock(it->first))
            g_system_sockets--;
        it = g_watched.erase(it);
        route.watched--;
    }
    route.retired_pass = g_loop_passes;
    pthread_mutex_unlock(&g_loop_lock);
}
