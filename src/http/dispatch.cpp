// Selection of the control API endpoint by method, path segments and segment count.
#include "http/dispatch.h"

#include <string.h>

#include "http/edit_endpoints.h"
#include "http/maintenance.h"
#include "http/metrics.h"
#include "http/monitor_endpoints.h"
#include "http/read_endpoints.h"
#include "http/recording_endpoints.h"
#include "http/request.h"
#include "routing/registry.h"

typedef void (*endpoint_handler_t)(http_reply_t &reply);

// One row of the routing table. A pattern segment of nullptr stands for an id
// (any text, read later with atoi); every other segment must match exactly.
struct endpoint_route_t {
    http_method_t method;
    int count;
    const char *segments[5];
    endpoint_handler_t handler;
};

static const endpoint_route_t endpoint_routes[] = {
    {HTTP_METHOD_GET, 2, {"api", "logs"}, handle_logs},
    {HTTP_METHOD_GET, 2, {"api", "all_info"}, handle_all_info},
    {HTTP_METHOD_GET, 2, {"api", "active_routes"}, handle_active_routes},
    {HTTP_METHOD_GET, 2, {"api", "routes"}, handle_routes},
    {HTTP_METHOD_GET, 4, {"api", "routes", nullptr, "active_targets"}, handle_active_targets},
    {HTTP_METHOD_GET, 4, {"api", "routes", nullptr, "source"}, handle_route_source},
    {HTTP_METHOD_GET, 4, {"api", "routes", nullptr, "targets"}, handle_route_targets},
    {HTTP_METHOD_GET, 2, {"api", "stats"}, handle_stats},
    {HTTP_METHOD_GET, 2, {"api", "connections"}, handle_connections},
    {HTTP_METHOD_GET, 2, {"api", "metrics"}, handle_metrics},
    {HTTP_METHOD_GET, 2, {"api", "history"}, handle_history},
    {HTTP_METHOD_GET, 2, {"api", "endpoints"}, handle_endpoints},
    {HTTP_METHOD_GET, 2, {"api", "recordings"}, handle_recordings},
    {HTTP_METHOD_POST, 3, {"api", "routes", "route"}, handle_create_route},
    {HTTP_METHOD_POST, 4, {"api", "routes", nullptr, "targets"}, handle_add_target},
    {HTTP_METHOD_POST, 3, {"api", "server", "init"}, handle_server_init},
    {HTTP_METHOD_POST, 3, {"api", "server", "restore"}, handle_server_restore},
    {HTTP_METHOD_POST, 3, {"api", "server", "cleanup"}, handle_server_cleanup},
    {HTTP_METHOD_DELETE, 3, {"api", "routes", nullptr}, handle_delete_route},
    {HTTP_METHOD_DELETE, 5, {"api", "routes", nullptr, "targets", nullptr}, handle_delete_target},
    {HTTP_METHOD_DELETE, 3, {"api", "connections", nullptr}, handle_kick_connection},
    {HTTP_METHOD_OPTIONS, 3, {"api", "routes", nullptr}, handle_enable_source},
    {HTTP_METHOD_OPTIONS, 5, {"api", "routes", nullptr, "targets", nullptr}, handle_enable_target},
    {HTTP_METHOD_PUT, 4, {"api", "routes", nullptr, "source"}, handle_update_source},
    {HTTP_METHOD_PUT, 5, {"api", "routes", nullptr, "targets", nullptr}, handle_update_target},
};

/*
 * Reads run on the HTTP thread beside the edit worker, which changes the
 * registry: a GET that walks g_routes runs under g_routes_lock. No change holds
 * that lock across its save, so a read waits for memory work at most, never
 * for the disk. The log tail reads a file only and takes no lock.
 */
static bool walks_registry(const endpoint_route_t &route)
{
    // The recordings list takes the lock for its lookup only, not for the folder.
    return route.method == HTTP_METHOD_GET && route.handler != handle_logs &&
           route.handler != handle_recordings;
}

static bool route_matches(const endpoint_route_t &route, http_method_t method, int count)
{
    if (route.method != method || route.count != count)
        return false;
    for (int i = 0; i < count; i++) {
        if (route.segments[i] != nullptr && strcmp(route.segments[i], g_uri_segments[i]) != 0)
            return false;
    }
    return true;
}

/*
 * O(rows): a linear walk of a table of 24 rows. POST /api/routes/route is
 * listed before the target row, and "server" paths have 3 segments, so no
 * path matches two rows.
 */
bool dispatch_request(http_method_t method, int count, http_reply_t &reply)
{
    if (count < 1 || count > URI_SEGMENT_SLOTS || strcmp(g_uri_segments[0], "api") != 0)
        return false;
    for (const endpoint_route_t &route : endpoint_routes) {
        if (!route_matches(route, method, count))
            continue;
        bool locked = walks_registry(route);
        if (locked)
            pthread_mutex_lock(&g_routes_lock);
        route.handler(reply);
        if (locked)
            pthread_mutex_unlock(&g_routes_lock);
        return true;
    }
    return false;
}
