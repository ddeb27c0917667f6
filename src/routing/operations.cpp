// Route and target management: create, reconfigure, switch and delete while traffic flows.
#include "routing/operations.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include <jansson.h>

#include "core/events.h"
#include "core/log.h"
#include "recording/recording_target.h"
#include "routing/connections.h"
#include "routing/event_loop.h"
#include "routing/registry.h"
#include "routing/route_store.h"
#include "routing/udp_endpoint.h"
#include "srt/socket.h"

// Any non-zero value means on; the record keeps 1 so the 8-bit field cannot wrap.
static uint8_t enabled_flag(int32_t enabled)
{
    return enabled != 0 ? 1 : 0;
}

static void set_last_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

static void set_last_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(g_last_error, sizeof g_last_error, format, args);
    va_end(args);
}

// A URL is kept whole and must survive the JSON document. Returns 0, or -1 with
// the reason in g_last_error.
static int check_url(const char *url)
{
    if (strlen(url) >= ENDPOINT_URL_SIZE) {
        set_last_error("url is longer than %d characters", ENDPOINT_URL_SIZE - 1);
        return -1;
    }
    json_t *text = json_string(url);
    if (text == nullptr) {
        set_last_error("url is not valid UTF-8");
        return -1;
    }
    json_decref(text);
    return 0;
}

/*
 * Whether an endpoint may take url in mode: a change from the API (strict)
 * takes a URL only when nothing is wrong with it; switching on what is
 * stored takes anything but what check_endpoint_url refuses. Returns 0, or -1
 * with "Invalid URL: <what is wrong>" in g_last_error.
 */
static int check_endpoint_settings(const char *url, int32_t mode, bool strict)
{
    char reason[LAST_ERROR_SIZE - 16];
    int verdict = check_endpoint_url(url, (conn_mode_t)mode, reason, sizeof reason);
    // A recording's folder is made, or refused, before anything changes.
    if (verdict == URL_OK && is_recording_url(url) &&
        check_recording_target(url, reason, sizeof reason) != 0) {
        set_last_error("%s", reason);
        return -1;
    }
    if (verdict == URL_OK || (!strict && verdict == URL_LENIENT))
        return 0;
    set_last_error("Invalid URL: %s", reason);
    return -1;
}

// Parses url for an endpoint in mode before anything is changed, so a URL that
// cannot be parsed changes neither sockets nor file. Returns 0, or -1 with the
// reason in g_last_error.
static int parse_first(const char *url, int32_t mode, bool strict, endpoint_url_t &parsed,
                       bool target)
{
    if (check_url(url) != 0 || check_endpoint_settings(url, mode, strict) != 0)
        return -1;
    const char *wrong_side = udp_side_refusal(url, (uint8_t)mode, target);
    if (wrong_side != nullptr) {
        set_last_error("Invalid URL: %s", wrong_side);
        return -1;
    }
    parsed = endpoint_url_t{};
    parsed.mode = (conn_mode_t)mode;
    if (parse_endpoint_url(parsed, url) != 0) {
        set_last_error("Invalid URL: No scheme found.");
        return -1;
    }
    return 0;
}

// Gives an endpoint the settings parsed from url; its enabled flag stays.
static void adopt_settings(endpoint_url_t &endpoint, const endpoint_url_t &parsed, const char *url)
{
    uint8_t enabled = endpoint.enabled;
    endpoint = parsed;
    endpoint.enabled = enabled;
    snprintf(endpoint.url, sizeof endpoint.url, "%s", url);
}

/*
 * Emits route.changed naming the settings that differ between before and the
 * endpoint as it is now ("enabled", "mode", "url"; never a value); nothing when
 * none does. target_id -1: the source. Caller holds route.lock.
 */
static void emit_endpoint_change(int32_t route_id, int32_t target_id, const endpoint_url_t &before,
                                 const endpoint_url_t &after)
{
    bool changed[3] = {before.enabled != after.enabled, before.mode != after.mode,
                       strcmp(before.url, after.url) != 0};
    const char *names[3] = {"enabled", "mode", "url"};
    char fields[32] = "";
    size_t used = 0;
    for (int i = 0; i < 3; i++)
        if (changed[i] && used < sizeof fields)
            used += (size_t)snprintf(fields + used, sizeof fields - used, "%s%s",
                                     used > 0 ? "," : "", names[i]);
    if (used > 0)
        emit_event(
            EVENT_ROUTE_CHANGED, {route_id, target_id},
            {{"change", target_id < 0 ? "source" : "target"}, event_names("fields", fields)});
}

static bool same_configuration(const endpoint_url_t &endpoint, int32_t enabled, int32_t mode,
                               const char *url)
{
    return endpoint.enabled == enabled_flag(enabled) && endpoint.mode == mode &&
           strcmp(endpoint.url, url) == 0;
}

// The route with g_routes_lock and its lock held, or nullptr with nothing held.
static route_t *lock_route(int32_t route_id)
{
    pthread_mutex_lock(&g_routes_lock);
    route_t *route = find_route_locked(route_id);
    if (route == nullptr)
        pthread_mutex_unlock(&g_routes_lock);
    return route;
}

static void unlock_route(route_t *route)
{
    pthread_mutex_unlock(&route->lock);
    pthread_mutex_unlock(&g_routes_lock);
}

/*
 * Closes every connection in conns (logging text for each), adding their last
 * figures to totals in the same list_lock section that unlists them, so no
 * total is ever seen to drop; then the base socket, which becomes -1. Caller
 * holds route.lock.
 */
static void close_endpoint_sockets(route_t &route, int32_t target_id,
                                   std::list<conn_socket_t> &conns, traffic_totals_t &totals,
                                   connection_side_t side, std::atomic<int32_t> &base,
                                   int64_t &listen, const char *text)
{
    // Off its port first: no caller is handed over any more.
    stop_listening(listen);
    listen = 0;
    std::vector<SRT_TRACEBSTATS> finals(conns.size());
    std::vector<bool> fresh(conns.size());
    size_t i = 0;
    for (const conn_socket_t &conn : conns) {
        fresh[i] = srt_bstats(conn.sock, &finals[i], 1) == 0;
        i++;
    }
    std::list<conn_socket_t> closing;
    pthread_mutex_lock(&route.list_lock);
    i = 0;
    for (const conn_socket_t &conn : conns) {
        fold_closed_connection(totals, conn, fresh[i] ? &finals[i] : nullptr, side);
        report_closed_connection(route.id, target_id, conn, fresh[i] ? &finals[i] : nullptr, side,
                                 "closed");
        i++;
    }
    closing.splice(closing.end(), conns);
    pthread_mutex_unlock(&route.list_lock);
    for (const conn_socket_t &conn : closing) {
        unwatch_socket(route, conn.sock);
        close_route_socket(conn.sock);
        log_message(LOG_LEVEL_INFO, text);
    }
    int sock = base;
    if (sock != -1) {
        unwatch_socket(route, sock);
        srt_close(sock);
        base = -1;
    }
}

static void close_target_sockets(route_t &route, target_t &target)
{
    target.redial = redial_t{};
    close_recording_target(route, target);
    close_endpoint_sockets(route, target.id, target.conns, target.closed, SIDE_TARGET,
                           target.basesockout,
                           target.listen, "[CONNTHREAD] target has disconnected\n");
}

static void close_source_sockets(route_t &route, const char *disconnect_text)
{
    route.source_redial = redial_t{};
    close_endpoint_sockets(route, -1, route.conns, route.closed_sources, SIDE_SOURCE,
                           route.basesockin,
                           route.source_listen, disconnect_text);
}

static void close_all_target_sockets(route_t &route)
{
    for (target_t &target : route.targets)
        close_target_sockets(route, target);
}

/*
 * Opens an endpoint (target nullptr: the source) and records that it is wanted
 * open, so one that could not be opened is retried with back-off. One whose
 * stream id another endpoint serves on its port stays closed. Returns an
 * open_result_t with g_last_error set on failure: "Creating <owner_word> SRT
 * Socket failed", "Registering <owner_word> SRT Socket to epoll failed: %s" (the
 * socket stays), or "Stream id %s is already served on port %d". Caller holds
 * route.lock.
 */
static int open_and_want(route_t &route, target_t *target, const char *owner_word)
{
    redial_t &redial = target != nullptr ? target->redial : route.source_redial;
    const endpoint_url_t &endpoint = target != nullptr ? target->endpoint : route.source;
    int opened = open_endpoint(route, target);
    want_endpoint(redial, opened == OPEN_DONE || opened == OPEN_NOT_WATCHED);
    if (opened == OPEN_FAILED)
        schedule_route_check(route, redial.due_ms);
    if (opened == OPEN_DONE)
        report_endpoint_open(route, target);
    if (opened == OPEN_FAILED)
        set_last_error("Creating %s SRT Socket failed", owner_word);
    else if (opened == OPEN_NOT_WATCHED)
        set_last_error("Registering %s SRT Socket to epoll failed: %s", owner_word,
                       srt_getlasterror_str());
    if (opened != OPEN_ID_TAKEN)
        return opened;
    redial.wanted = false;
    set_last_error("Stream id %s is already served on port %d", endpoint.streamid, endpoint.port);
    return opened;
}

// Logs why an endpoint did not open; one left closed for a taken stream id is named.
static void log_open_failure(const route_t &route, const target_t *target, int opened)
{
    if (opened != OPEN_ID_TAKEN) {
        log_message(LOG_LEVEL_INFO, g_last_error);
        return;
    }
    char name[32] = "source";
    if (target != nullptr)
        snprintf(name, sizeof name, "target %d", target->id);
    log_messagef(LOG_LEVEL_WARNING, "Route %d %s left closed: %s\n", route.id, name, g_last_error);
}

// Opens a target (g_last_error in the given wording, logged when asked).
// Returns an open_result_t. Caller holds route.lock.
static int open_target(route_t &route, target_t &target, const char *owner_word, bool log_failure)
{
    int opened = open_and_want(route, &target, owner_word);
    if (opened != OPEN_DONE && log_failure)
        log_open_failure(route, &target, opened);
    return opened;
}

// Opens the source. Returns 0, or -1 with g_last_error set and logged. Caller
// holds route.lock.
static int open_source(route_t &route)
{
    int opened = open_and_want(route, nullptr, "source's");
    if (opened == OPEN_DONE)
        return 0;
    log_open_failure(route, nullptr, opened);
    return -1;
}

void open_route_sockets(route_t &route)
{
    open_source(route);
    for (target_t &target : route.targets)
        if (target.endpoint.enabled)
            open_target(route, target, "target's", true);
}

/*
 * Refuses a change that would serve one stream id twice on a port: each
 * listening endpoint it opens is checked against the port table (but for the
 * registrations it replaces) and against the others it opens. Returns 0, or -1
 * with "Stream id %s is already served on port %d" in g_last_error. Caller holds
 * the route's lock.
 */
static int check_stream_ids(const std::vector<const endpoint_url_t *> &opening,
                            const std::vector<int64_t> &replaced)
{
    for (size_t i = 0; i < opening.size(); i++) {
        const endpoint_url_t &endpoint = *opening[i];
        // Port 0 gets a port of its own; a udp:// endpoint is on no SRT port.
        if (endpoint.mode != CONN_MODE_LISTEN || endpoint.port == 0 || endpoint.udp.udp != 0)
            continue;
        bool taken = port_serves_stream_id(endpoint, replaced);
        for (size_t j = 0; j < i && !taken; j++)
            taken = opening[j]->mode == CONN_MODE_LISTEN && opening[j]->udp.udp == 0 &&
                    opening[j]->port == endpoint.port &&
                    (opening[j]->family == AF_INET6) == (endpoint.family == AF_INET6) &&
                    strcmp(opening[j]->streamid, endpoint.streamid) == 0;
        if (taken) {
            set_last_error("Stream id %s is already served on port %d", endpoint.streamid,
                           endpoint.port);
            return -1;
        }
    }
    return 0;
}

// The first planned route with id, or nullptr.
static route_settings_t *planned_route(std::vector<route_settings_t> &routes, int32_t id)
{
    for (route_settings_t &route : routes)
        if (route.id == id)
            return &route;
    return nullptr;
}

static target_settings_t *planned_target(std::vector<route_settings_t> &routes, int32_t route_id,
                                         int32_t target_id)
{
    route_settings_t *route = planned_route(routes, route_id);
    if (route == nullptr)
        return nullptr;
    for (target_settings_t &target : route->targets)
        if (target.id == target_id)
            return &target;
    return nullptr;
}

static endpoint_settings_t planned_endpoint(int32_t enabled, int32_t mode, const char *url)
{
    endpoint_settings_t settings;
    settings.enabled = enabled_flag(enabled);
    settings.mode = (conn_mode_t)mode;
    settings.has_url = true;
    settings.url = url;
    return settings;
}

/*
 * Runs apply between staging the planned document and committing: the disk is
 * asked first, so a change it refuses changes nothing, and no file I/O happens
 * while apply holds its locks. Returns apply's result, or OPERATION_SAVE_FAILED
 * with the reason in g_last_error. Caller holds no lock.
 */
template <typename apply_fn>
static int32_t save_around(const std::vector<route_settings_t> &planned, apply_fn apply)
{
    routes_save_t save;
    if (stage_routes_config(planned, save) != 0)
        return OPERATION_SAVE_FAILED;
    int32_t result = apply();
    if (commit_routes_config(save) != 0)
        return OPERATION_SAVE_FAILED;
    return result;
}

// The registry's settings, for planning. Caller holds g_routes_lock.
static std::vector<route_settings_t> current_settings(void)
{
    std::vector<route_settings_t> routes;
    collect_route_settings(routes);
    return routes;
}

int32_t create_route(void)
{
    pthread_mutex_lock(&g_routes_lock);
    reap_retired_routes();
    int32_t id = allocate_route_id();
    std::vector<route_settings_t> planned = current_settings();
    pthread_mutex_unlock(&g_routes_lock);
    if (id < 0)
        return -1;
    route_settings_t fresh;
    fresh.id = id;
    fresh.source = endpoint_settings_of(endpoint_url_t{});
    planned.insert(planned.begin(), fresh);
    return save_around(planned, [id] {
        std::list<route_t> holder;
        if (build_route_record(holder, id) != 0)
            return -1;
        pthread_mutex_lock(&g_routes_lock);
        g_routes.splice(g_routes.begin(), holder);
        pthread_mutex_unlock(&g_routes_lock);
        emit_event(EVENT_ROUTE_CREATED, {id});
        return id;
    });
}

// Stops the loop serving the route, closes every socket and takes the route out
// of the registry. Caller holds g_routes_lock and route.lock; route.lock is
// released on return.
static void discard_route_locked(route_t &route)
{
    stop_serving_route(route);
    close_all_target_sockets(route);
    pthread_mutex_lock(&route.list_lock);
    std::list<target_t> gone;
    gone.splice(gone.end(), route.targets);
    pthread_mutex_unlock(&route.list_lock);
    close_source_sockets(route, "[CONNTHREAD] source has disconnected\n");
    pthread_mutex_unlock(&route.lock);
    retire_route(route);
}

int32_t delete_route(int32_t route_id)
{
    route_t *route = lock_route(route_id);
    if (route == nullptr)
        return -1;
    std::vector<route_settings_t> planned = current_settings();
    unlock_route(route);
    planned.erase(planned.begin() + (planned_route(planned, route_id) - planned.data()));
    return save_around(planned, [route_id] {
        route_t *found = lock_route(route_id);
        if (found == nullptr)
            return -1;
        discard_route_locked(*found);
        pthread_mutex_unlock(&g_routes_lock);
        emit_event(EVENT_ROUTE_DELETED, {route_id});
        return 0;
    });
}

// Takes every route out of the registry. Caller holds g_routes_lock. Returns
// the number of routes taken out. O(routes).
static size_t discard_all_routes_locked(void)
{
    size_t count = g_routes.size();
    while (!g_routes.empty()) {
        route_t &route = g_routes.front();
        pthread_mutex_lock(&route.lock);
        discard_route_locked(route);
    }
    return count;
}

void discard_all_routes(void)
{
    pthread_mutex_lock(&g_routes_lock);
    discard_all_routes_locked();
    pthread_mutex_unlock(&g_routes_lock);
}

int32_t delete_all_routes(void)
{
    pthread_mutex_lock(&g_routes_lock);
    bool any = !g_routes.empty();
    pthread_mutex_unlock(&g_routes_lock);
    if (!any)
        return 0;
    return save_around({}, [] {
        pthread_mutex_lock(&g_routes_lock);
        std::vector<int32_t> ids;
        for (const route_t &route : g_routes)
            ids.push_back(route.id);
        int32_t count = (int32_t)discard_all_routes_locked();
        pthread_mutex_unlock(&g_routes_lock);
        for (int32_t id : ids)
            emit_event(EVENT_ROUTE_DELETED, {id});
        return count;
    });
}

/*
 * Opens the source and every enabled target that can open, and makes sure the
 * event loop serves the route. A source that cannot open fails the switch-on of a
 * source that was off (nothing stays open or wanted); a source that was on
 * stays on and is retried with back-off, beside its targets. A target that
 * cannot be made does not stop the others: the operation goes on and then
 * fails naming the target ids. Caller holds g_routes_lock and route.lock;
 * returns 0 or -1 with g_last_error set.
 */
static int32_t open_source_and_targets(route_t &route, int32_t enabled)
{
    pthread_mutex_lock(&route.list_lock);
    route.pktSentTotal = 0;
    route.pktLossTotal = 0;
    route.pktLoss = 0;
    route.msRTT = 0.0f;
    pthread_mutex_unlock(&route.list_lock);

    char source_error[LAST_ERROR_SIZE] = "";
    if (open_source(route) != 0) {
        if (!route.source.enabled) {
            route.source_redial = redial_t{};
            return -1;
        }
        snprintf(source_error, sizeof source_error, "%s", g_last_error);
    }
    char failed_ids[LAST_ERROR_SIZE] = "";
    size_t used = 0;
    for (target_t &target : route.targets) {
        // A target that cannot be watched is reported and skipped.
        int opened =
            target.endpoint.enabled ? open_target(route, target, "target's", true) : (int)OPEN_DONE;
        if (opened == OPEN_FAILED || opened == OPEN_ID_TAKEN)
            used += (size_t)snprintf(failed_ids + used, sizeof failed_ids - used, "%s%d",
                                     used > 0 ? ", " : "", target.id);
        used = used < sizeof failed_ids ? used : sizeof failed_ids - 1;
    }
    if (route.running == 0)
        serve_route(route);
    if (source_error[0] != '\0') {
        set_last_error("%s", source_error);
        return -1;
    }
    route.source.enabled = enabled_flag(enabled);
    if (failed_ids[0] != '\0') {
        set_last_error("Creating target's SRT Socket failed: %s", failed_ids);
        return -1;
    }
    return 0;
}

// The change of update_source once it is saved to be made.
static int32_t apply_source_settings(int32_t route_id, int32_t enabled,
                                     const endpoint_url_t &parsed, const char *url)
{
    route_t *route = lock_route(route_id);
    if (route == nullptr)
        return -1;
    close_all_target_sockets(*route);
    close_source_sockets(*route, "[CONNTHREAD1] source has disconnected\n");
    route->active_source = -1;

    console_printf("enabled:%d, mode:%d, url:%s\n", enabled, parsed.mode,
                   mask_passphrases(url).c_str());
    endpoint_url_t before = route->source;
    adopt_settings(route->source, parsed, url);
    int32_t result = 0;
    if (enabled == 0)
        route->source.enabled = 0;
    else
        result = open_source_and_targets(*route, enabled);
    emit_endpoint_change(route_id, -1, before, route->source);
    unlock_route(route);
    return result;
}

// update_source; strict: the URL comes from the API rather than the route's own record.
static int32_t change_source(int32_t route_id, int32_t enabled, int32_t mode, const char *url,
                             bool strict)
{
    if (is_recording_url(url)) {
        set_last_error("Invalid URL: a file:// url records a route: it is for targets only");
        return -1;
    }
    endpoint_url_t parsed;
    if (parse_first(url, mode, strict, parsed, false) != 0)
        return -1;
    route_t *route = lock_route(route_id);
    if (route == nullptr) {
        set_last_error("Source(%d) does not fouond", route_id);
        return -1;
    }
    if (same_configuration(route->source, enabled, mode, url)) {
        unlock_route(route);
        set_last_error("Same configration exist");
        return -1;
    }
    if (enabled != 0) {
        // Every endpoint of the route is closed and the enabled ones opened again.
        std::vector<const endpoint_url_t *> opening = {&parsed};
        std::vector<int64_t> replaced = {route->source_listen};
        for (const target_t &target : route->targets) {
            if (target.endpoint.enabled)
                opening.push_back(&target.endpoint);
            replaced.push_back(target.listen);
        }
        if (check_stream_ids(opening, replaced) != 0) {
            unlock_route(route);
            return -1;
        }
    }
    std::vector<route_settings_t> planned = current_settings();
    unlock_route(route);
    planned_route(planned, route_id)->source = planned_endpoint(enabled, mode, url);
    return save_around(planned,
                       [&] { return apply_source_settings(route_id, enabled, parsed, url); });
}

int32_t update_source(int32_t route_id, int32_t enabled, int32_t mode, const char *url)
{
    return change_source(route_id, enabled, mode, url, true);
}

int32_t enable_source(int32_t route_id, int32_t enabled)
{
    route_t *route = lock_route(route_id);
    if (route == nullptr) {
        set_last_error("Source(%d) does not fouond", route_id);
        return -1;
    }
    if (route->source.enabled == enabled_flag(enabled)) {
        unlock_route(route);
        set_last_error("Same configration exist");
        return -1;
    }
    char url[ENDPOINT_URL_SIZE];
    snprintf(url, sizeof url, "%s", route->source.url);
    int32_t mode = route->source.mode;
    unlock_route(route);
    int32_t result = change_source(route_id, enabled, mode, url, false);
    log_message(LOG_LEVEL_INFO, "====\n");
    return result;
}

int32_t add_target(int32_t route_id)
{
    route_t *route = lock_route(route_id);
    if (route == nullptr)
        return -1;
    int32_t id = allocate_target_id();
    std::vector<route_settings_t> planned = current_settings();
    unlock_route(route);
    if (id < 0)
        return -1;
    planned_route(planned, route_id)
        ->targets.push_back({id, endpoint_settings_of(endpoint_url_t{})});
    return save_around(planned, [route_id, id] {
        route_t *found = lock_route(route_id);
        if (found == nullptr)
            return -1;
        append_target(*found, id);
        unlock_route(found);
        emit_event(EVENT_ROUTE_CHANGED, {route_id, id},
                   {{"change", "target.added"}, event_names("fields", "")});
        return id;
    });
}

// Finds the target or sets the "does not fouond" error. Returns the target with
// g_routes_lock and its route's lock held, or nullptr with nothing held.
static target_t *find_target_or_fail(int32_t route_id, int32_t target_id, route_t **route)
{
    pthread_mutex_lock(&g_routes_lock);
    target_t *target = find_target_locked(route_id, target_id, route);
    if (target == nullptr) {
        set_last_error("Target(%d) on route(%d) does not fouond", target_id, route_id);
        pthread_mutex_unlock(&g_routes_lock);
    }
    return target;
}

int32_t delete_target(int32_t route_id, int32_t target_id)
{
    pthread_mutex_lock(&g_routes_lock);
    route_t *route = nullptr;
    target_t *target = find_target_locked(route_id, target_id, &route);
    if (target == nullptr) {
        pthread_mutex_unlock(&g_routes_lock);
        return -1;
    }
    // The route that holds the target: a newer one with the same id may have none.
    int32_t holder_id = route->id;
    std::vector<route_settings_t> planned = current_settings();
    unlock_route(route);
    route_settings_t *planned_holder = planned_route(planned, holder_id);
    std::vector<target_settings_t> &targets = planned_holder->targets;
    targets.erase(targets.begin() +
                  (planned_target(planned, holder_id, target_id) - targets.data()));
    return save_around(planned, [route_id, target_id] {
        route_t *found_route = nullptr;
        target_t *found = find_target_or_fail(route_id, target_id, &found_route);
        if (found == nullptr)
            return -1;
        close_target_sockets(*found_route, *found);
        std::list<target_t> gone;
        pthread_mutex_lock(&found_route->list_lock);
        for (auto it = found_route->targets.begin(); it != found_route->targets.end(); ++it) {
            if (&*it == found) {
                gone.splice(gone.end(), found_route->targets, it);
                break;
            }
        }
        pthread_mutex_unlock(&found_route->list_lock);
        unlock_route(found_route);
        emit_event(EVENT_ROUTE_CHANGED, {route_id, target_id},
                   {{"change", "target.deleted"}, event_names("fields", "")});
        return 0;
    });
}

/*
 * Gives a target new settings and opens it when enabled; the settings stay
 * when it cannot open. Runs once the change is staged. Returns 0, or -1 with
 * g_last_error set ("Target's" wording).
 */
static int32_t apply_target_settings(int32_t route_id, int32_t target_id, int32_t enabled,
                                     const endpoint_url_t *parsed, const char *url)
{
    route_t *route = nullptr;
    target_t *target = find_target_or_fail(route_id, target_id, &route);
    if (target == nullptr)
        return -1;
    close_target_sockets(*route, *target);
    endpoint_url_t before = target->endpoint;
    if (parsed != nullptr)
        adopt_settings(target->endpoint, *parsed, url);
    target->endpoint.enabled = enabled_flag(enabled);
    int32_t result = 0;
    if (enabled != 0 && open_target(*route, *target, "Target's", false) != 0)
        result = -1;
    emit_endpoint_change(route_id, target_id, before, target->endpoint);
    unlock_route(route);
    return result;
}

// Plans new settings for a target: the registry's document with them. Returns
// 0, or -1 with g_last_error set (not found, or the same configuration).
static int plan_target_settings(int32_t route_id, int32_t target_id, int32_t enabled, int32_t mode,
                                const char *url, const endpoint_url_t *parsed,
                                std::vector<route_settings_t> &planned)
{
    route_t *route = nullptr;
    target_t *target = find_target_or_fail(route_id, target_id, &route);
    if (target == nullptr)
        return -1;
    bool same = url != nullptr ? same_configuration(target->endpoint, enabled, mode, url)
                               : target->endpoint.enabled == enabled_flag(enabled);
    if (same) {
        unlock_route(route);
        set_last_error("Same configration exist");
        return -1;
    }
    // Switched on as stored: a URL the load left off stays off until it is mended.
    if (url == nullptr && enabled != 0 &&
        check_endpoint_settings(target->endpoint.url, target->endpoint.mode, false) != 0) {
        unlock_route(route);
        return -1;
    }
    if (enabled != 0 &&
        check_stream_ids({parsed != nullptr ? parsed : &target->endpoint}, {target->listen}) != 0) {
        unlock_route(route);
        return -1;
    }
    int32_t holder_id = route->id;
    endpoint_settings_t settings = endpoint_settings_of(target->endpoint);
    planned = current_settings();
    unlock_route(route);
    settings.enabled = enabled_flag(enabled);
    if (url != nullptr)
        settings = planned_endpoint(enabled, mode, url);
    planned_target(planned, holder_id, target_id)->endpoint = settings;
    return 0;
}

int32_t enable_target(int32_t route_id, int32_t target_id, int32_t enabled)
{
    std::vector<route_settings_t> planned;
    if (plan_target_settings(route_id, target_id, enabled, 0, nullptr, nullptr, planned) != 0)
        return -1;
    return save_around(planned, [&] {
        return apply_target_settings(route_id, target_id, enabled, nullptr, nullptr);
    });
}

int32_t update_target(int32_t route_id, int32_t target_id, int32_t enabled, int32_t mode,
                      const char *url)
{
    endpoint_url_t parsed;
    if (parse_first(url, mode, true, parsed, true) != 0)
        return -1;
    std::vector<route_settings_t> planned;
    if (plan_target_settings(route_id, target_id, enabled, mode, url, &parsed, planned) != 0)
        return -1;
    return save_around(
        planned, [&] { return apply_target_settings(route_id, target_id, enabled, &parsed, url); });
}

int32_t kick_connection(int32_t sock)
{
    pthread_mutex_lock(&g_routes_lock);
    for (route_t &route : g_routes) {
        pthread_mutex_lock(&route.lock);
        int result = kick_connection_locked(route, sock);
        pthread_mutex_unlock(&route.lock);
        if (result == 0) {
            pthread_mutex_unlock(&g_routes_lock);
            return 0;
        }
    }
    pthread_mutex_unlock(&g_routes_lock);
    set_last_error("Connection %d not found", sock);
    return -1;
}
