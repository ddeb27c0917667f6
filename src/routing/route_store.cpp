// Persistence of the registry: the route file rewritten after every change and read at start-up.
#include "routing/route_store.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "config/config_file.h"
#include "core/events.h"
#include "core/log.h"
#include "core/settings.h"
#include "routing/event_loop.h"
#include "routing/operations.h"

// Set (to the reason) when an unreadable file could not be copied aside: saving would lose it.
static int g_config_save_blocked = 0;
static std::atomic<uint64_t> g_save_failures{0};
static std::atomic<int64_t> g_last_save_time{0};

uint64_t config_save_failures(void)
{
    return g_save_failures.load();
}

int64_t config_last_save_time(void)
{
    return g_last_save_time.load();
}

endpoint_settings_t endpoint_settings_of(const endpoint_url_t &endpoint)
{
    endpoint_settings_t settings;
    settings.enabled = endpoint.enabled;
    settings.mode = endpoint.mode;
    settings.has_url = true;
    settings.url = endpoint.url;
    return settings;
}

route_settings_t route_settings_of(const route_t &route)
{
    route_settings_t settings;
    settings.id = route.id;
    settings.source = endpoint_settings_of(route.source);
    settings.targets.reserve(route.targets.size());
    for (const target_t &target : route.targets)
        settings.targets.push_back({target.id, endpoint_settings_of(target.endpoint)});
    return settings;
}

void collect_route_settings(std::vector<route_settings_t> &routes)
{
    routes.reserve(g_routes.size());
    for (const route_t &route : g_routes)
        routes.push_back(route_settings_of(route));
}

// Records a failed save: the reason for the client, a log line, the count. Returns -1.
static int save_failed(int error)
{
    snprintf(g_last_error, sizeof g_last_error, "Saving configuration failed: %s", strerror(error));
    log_messagef(LOG_LEVEL_ERR, "%s (%s)\n", g_last_error, g_config_path);
    emit_event(EVENT_CONFIG_SAVE_FAILED, {},
               {{"reason", strerror(error)}, {"path", g_config_path}});
    g_save_failures++;
    return -1;
}

int stage_routes_config(const std::vector<route_settings_t> &routes, routes_save_t &save)
{
    if (g_config_save_blocked != 0)
        return save_failed(g_config_save_blocked);
    size_t size = 0;
    char *text = format_route_document(routes, &size);
    if (text == nullptr)
        return save_failed(ENOMEM);
    save.text.assign(text, size);
    free(text);
    if (stage_config_file(g_config_path, save.text.data(), save.text.size(), save.file) != 0)
        return save_failed(errno);
    return 0;
}

int commit_routes_config(routes_save_t &save)
{
    std::vector<route_settings_t> routes;
    pthread_mutex_lock(&g_routes_lock);
    collect_route_settings(routes);
    pthread_mutex_unlock(&g_routes_lock);
    size_t size = 0;
    char *text = format_route_document(routes, &size);
    if (text == nullptr) {
        abandon_config_file(save.file);
        return save_failed(ENOMEM);
    }
    int result = 0;
    if (save.text.compare(0, std::string::npos, text, size) != 0 &&
        restage_config_file(save.file, text, size) != 0)
        result = save_failed(errno);
    free(text);
    if (result == 0 && commit_config_file(save.file) != 0)
        result = save_failed(errno);
    if (result == 0)
        g_last_save_time = (int64_t)time(nullptr);
    return result;
}

int save_routes_config(void)
{
    std::vector<route_settings_t> routes;
    pthread_mutex_lock(&g_routes_lock);
    collect_route_settings(routes);
    pthread_mutex_unlock(&g_routes_lock);
    routes_save_t save;
    if (stage_routes_config(routes, save) != 0)
        return -1;
    return commit_routes_config(save);
}

// The document as read, each URL masked on its own: JSON escapes in the file
// cannot hide a passphrase from the mask.
static std::string masked_document(std::vector<route_settings_t> routes)
{
    for (route_settings_t &route : routes) {
        route.source.url = mask_passphrases(route.source.url.c_str());
        for (target_settings_t &target : route.targets)
            target.endpoint.url = mask_passphrases(target.endpoint.url.c_str());
    }
    size_t size = 0;
    char *text = format_route_document(routes, &size);
    std::string copy = text != nullptr ? text : "";
    free(text);
    return copy;
}

// Keeps the bytes of a file before anything can save over them: one that failed
// to parse, or one holding what cannot be kept; what names it in the lines.
static void keep_config_copy(const char *text, size_t size, const char *what)
{
    char copy[sizeof g_config_path + 64];
    if (set_aside_config_file(g_config_path, text, size, copy, sizeof copy) == 0) {
        console_printf("%c%s copied to %s\n", toupper((unsigned char)what[0]), what + 1, copy);
        return;
    }
    g_config_save_blocked = errno != 0 ? errno : EIO;
    console_printf("Cannot copy the %s aside (%s): changes will not be saved\n", what,
                   strerror(g_config_save_blocked));
}

// True when a stored URL is too long for its record: the file is then copied aside.
static bool holds_overlong_url(const std::vector<route_settings_t> &routes)
{
    for (const route_settings_t &route : routes) {
        if (route.source.url.size() >= ENDPOINT_URL_SIZE)
            return true;
        for (const target_settings_t &target : route.targets)
            if (target.endpoint.url.size() >= ENDPOINT_URL_SIZE)
                return true;
    }
    return false;
}

/*
 * Fills an endpoint record from its stored settings. A URL with something wrong
 * gets one line naming the endpoint (name): one read as it always was loads as
 * stored; one check_endpoint_url refuses is left off, so it never listens
 * elsewhere, with a cut stream id or without its passphrase, and cannot be
 * switched on until it is mended. A URL too long for the record is dropped
 * rather than kept cut (the file's copy holds it).
 */
static void apply_endpoint_settings(const endpoint_settings_t &settings, endpoint_url_t &endpoint,
                                    const char *name)
{
    endpoint.enabled = settings.enabled;
    endpoint.mode = settings.mode;
    if (!settings.has_url)
        return;
    char reason[LOG_MESSAGE_SIZE / 2];
    int verdict = check_endpoint_url(settings.url.c_str(), settings.mode, reason, sizeof reason);
    if (settings.url.size() >= sizeof endpoint.url) {
        log_messagef(LOG_LEVEL_WARNING, "%s left off, its url dropped: Invalid URL: %s\n", name,
                     reason);
        endpoint.enabled = 0;
        return;
    }
    snprintf(endpoint.url, sizeof endpoint.url, "%s", settings.url.c_str());
    parse_endpoint_url(endpoint, settings.url.c_str());
    if (verdict == URL_REFUSED) {
        log_messagef(LOG_LEVEL_WARNING, "%s left off: Invalid URL: %s\n", name, reason);
        endpoint.enabled = 0;
    } else if (verdict == URL_LENIENT) {
        log_messagef(LOG_LEVEL_WARNING, "%s loaded as stored: %s\n", name, reason);
    }
}

void load_routes_config(void)
{
    int stale = remove_stale_staged_files(g_config_path);
    if (stale > 0)
        console_printf("Removed %d temporary file(s) an interrupted save left beside %s\n", stale,
                       g_config_path);
    size_t size = 0;
    char *text = read_config_file(g_config_path, &size);
    if (text == nullptr) {
        console_printf("Error opening file.\n");
        return;
    }
    std::vector<route_settings_t> routes;
    std::string error;
    if (parse_route_document(text, routes, error) != 0) {
        console_printf("Error parsing JSON: %s\n", mask_passphrases(error.c_str()).c_str());
        keep_config_copy(text, size, "unreadable configuration");
        free(text);
        return;
    }
    if (holds_overlong_url(routes))
        keep_config_copy(text, size, "configuration with a url too long to keep");
    discard_all_routes();
    free(text);
    console_printf("=== load str:%s\n", masked_document(routes).c_str());

    int32_t largest_route = -1;
    int32_t largest_target = -1;
    for (const route_settings_t &settings : routes) {
        if (settings.id > largest_route)
            largest_route = settings.id;
        std::list<route_t> holder;
        if (build_route_record(holder, settings.id) != 0)
            continue;
        route_t &route = holder.front();
        char name[64];
        snprintf(name, sizeof name, "Route %d source", settings.id);
        apply_endpoint_settings(settings.source, route.source, name);
        for (const target_settings_t &stored : settings.targets) {
            if (stored.id > largest_target)
                largest_target = stored.id;
            snprintf(name, sizeof name, "Route %d target %d", settings.id, stored.id);
            apply_endpoint_settings(stored.endpoint, append_target(route, stored.id).endpoint,
                                    name);
        }
        if (route.source.enabled)
            open_route_sockets(route);
        g_routes.splice(g_routes.begin(), holder);
        serve_route(route);
    }
    advance_id_counters(largest_route, largest_target);
}
