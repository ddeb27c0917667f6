// The route document (JSON form of routes and targets) and the configuration file.
#pragma once

#include <jansson.h>

#include "routing/registry.h"

// {"source_id","enabled","mode","url"[,"targets"]} for one route; "mode" is left
// out for an unknown code, "url" when it is not valid UTF-8.
json_t *build_route_object(const route_t &route, bool with_targets);
// {"enabled","mode","url"} for one target.
json_t *build_target_object(const target_t &target);
// Every route, newest first, keyed by decimal id. Caller holds g_routes_lock or
// is the management thread.
json_t *build_route_document(void);

// Writes the document to g_config_path through a temporary file in the same
// folder that is flushed, synced and renamed over the old one, so the file is
// always either the old or the new document. Caller holds g_routes_lock.
void save_routes_config(void);

// Rebuilds the registry from g_config_path at start-up: records, sockets of
// enabled endpoints, each route's thread pair. Never saves.
void load_routes_config(void);
