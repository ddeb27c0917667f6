// Persistence of the registry: the route file rewritten after every change and read at start-up.
#pragma once

#include <vector>

#include "config/route_document.h"
#include "routing/registry.h"

// What the route file keeps of an endpoint, a route and the whole registry
// (newest route first). Caller is the management thread, or holds g_routes_lock.
endpoint_settings_t endpoint_settings_of(const endpoint_url_t &endpoint);
route_settings_t route_settings_of(const route_t &route);
void collect_route_settings(std::vector<route_settings_t> &routes);

// Writes the whole registry to g_config_path. Caller holds g_routes_lock. A
// failure prints "Error opening file." and leaves the old file in place.
void save_routes_config(void);

/*
 * Rebuilds the registry from g_config_path at start-up: records, sockets of
 * enabled endpoints, each route's thread pair. Never saves. A file that cannot
 * be parsed is copied aside first (see set_aside_config_file), and when that
 * copy cannot be made no later save may overwrite it.
 */
void load_routes_config(void);
