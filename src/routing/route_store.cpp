// Persistence of the registry: the route file rewritten after every change and read at start-up.
#include "routing/route_store.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/config_file.h"
#include "core/settings.h"
#include "routing/operations.h"

// Set when an unreadable file could not be copied aside: saving would lose it.
static bool g_config_save_blocked = false;

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

void save_routes_config(void)
{
    if (g_config_save_blocked) {
        printf("Configuration not saved: the unreadable file could not be copied aside\n");
        return;
    }
    std::vector<route_settings_t> routes;
    collect_route_settings(routes);
    size_t size = 0;
    char *text = format_route_document(routes, &size);
    if (text == nullptr || write_config_file(g_config_path, text, size) != 0)
        printf("Error opening file.\n");
    free(text);
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

// Keeps the bytes of a file that failed to parse before anything can save over it.
static void keep_unreadable_config(const char *text, size_t size)
{
    char copy[sizeof g_config_path + 64];
    if (set_aside_config_file(g_config_path, text, size, copy, sizeof copy) == 0) {
        printf("Unreadable configuration copied to %s\n", copy);
        return;
    }
    g_config_save_blocked = true;
    printf("Cannot copy the unreadable configuration aside (%s): changes will not be saved\n",
           strerror(errno));
}

// Fills an endpoint record from its stored settings; the URL is kept cut to its
// field but parsed whole.
static void apply_endpoint_settings(const endpoint_settings_t &settings, endpoint_url_t &endpoint)
{
    endpoint.enabled = settings.enabled;
    endpoint.mode = settings.mode;
    if (!settings.has_url)
        return;
    if (settings.url.size() >= sizeof endpoint.url)
        printf("url longer than %zu characters is cut: %s\n", sizeof endpoint.url - 1,
               mask_passphrases(settings.url.c_str()).c_str());
    snprintf(endpoint.url, sizeof endpoint.url, "%s", settings.url.c_str());
    parse_endpoint_url(endpoint, settings.url.c_str());
}

void load_routes_config(void)
{
    size_t size = 0;
    char *text = read_config_file(g_config_path, &size);
    if (text == nullptr) {
        printf("Error opening file.\n");
        return;
    }
    std::vector<route_settings_t> routes;
    std::string error;
    if (parse_route_document(text, routes, error) != 0) {
        printf("Error parsing JSON: %s\n", mask_passphrases(error.c_str()).c_str());
        keep_unreadable_config(text, size);
        free(text);
        return;
    }
    discard_all_routes();
    free(text);
    printf("=== load str:%s\n", masked_document(routes).c_str());

    int32_t largest_route = -1;
    int32_t largest_target = -1;
    for (const route_settings_t &settings : routes) {
        if (settings.id > largest_route)
            largest_route = settings.id;
        std::list<route_t> holder;
        if (build_route_record(holder, settings.id) != 0)
            continue;
        route_t &route = holder.front();
        apply_endpoint_settings(settings.source, route.source);
        for (const target_settings_t &stored : settings.targets) {
            if (stored.id > largest_target)
                largest_target = stored.id;
            apply_endpoint_settings(stored.endpoint, append_target(route, stored.id).endpoint);
        }
        if (route.source.enabled)
            open_route_sockets(route);
        g_routes.splice(g_routes.begin(), holder);
        int err = start_route_threads(route);
        if (err != 0)
            printf("cannot create connection thread: %s\n", strerror(err));
    }
    advance_id_counters(largest_route, largest_target);
}
