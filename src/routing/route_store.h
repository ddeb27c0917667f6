// Persistence of the registry: the route file rewritten after every change and read at start-up.
#pragma once

#include <vector>

#include "config/config_file.h"
#include "config/route_document.h"
#include "routing/registry.h"

// What the route file keeps of an endpoint, a route and the whole registry
// (newest route first). Caller is the management thread, or holds g_routes_lock.
endpoint_settings_t endpoint_settings_of(const endpoint_url_t &endpoint);
route_settings_t route_settings_of(const route_t &route);
void collect_route_settings(std::vector<route_settings_t> &routes);

/*
 * A save of the registry in two steps, so that no file I/O happens under a lock
 * and a change the disk refuses is refused before anything changes: stage the
 * document the registry is about to hold (written and synced to a temporary
 * file), make the change, then commit. The commit collects the registry's
 * document as it is then (under g_routes_lock, in memory), writes it again
 * when the change turned out otherwise than planned, and renames it into
 * place. Each returns 0, or -1 with "Saving configuration failed: <reason>" in
 * g_last_error, logged and counted. Callers hold no lock; the management
 * thread runs one save at a time.
 */
struct routes_save_t {
    staged_file_t file;
    std::string text; // what is staged
};
int stage_routes_config(const std::vector<route_settings_t> &routes, routes_save_t &save);
int commit_routes_config(routes_save_t &save);
// Stages and commits the registry as it is. Caller holds no lock.
int save_routes_config(void);

// Saves that failed, and the time of the last one that landed (0: none yet).
uint64_t config_save_failures(void);
int64_t config_last_save_time(void);

/*
 * Rebuilds the registry from g_config_path at start-up: records, sockets of
 * enabled endpoints, each route served by the event loop. Never saves; first
 * removes the temporary files a killed save left beside the file. A file that cannot
 * be parsed is copied aside first (see set_aside_config_file), and when that
 * copy cannot be made no later save may overwrite it.
 */
void load_routes_config(void);
