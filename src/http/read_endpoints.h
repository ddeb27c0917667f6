// GET endpoints of the control API: route document, activity, settings, stats, log tail.
#pragma once

#include <stdint.h>

#include "http/reply.h"

// Each reads g_uri_segments / g_query_params of the current request and fills
// reply; every one answers 200. Run on the HTTP thread; all but handle_logs
// with g_routes_lock held (see dispatch.cpp), which keeps the membership of
// g_routes, each targets list and every endpoint's settings still, since the
// management operations change them only under that lock. conns lists are
// counted under the route's list_lock (count_conns).

struct route_t;
// The first route with the id, or nullptr. Caller holds g_routes_lock.
route_t *find_route(int32_t id);

void handle_logs(http_reply_t &reply);
void handle_all_info(http_reply_t &reply);
void handle_active_routes(http_reply_t &reply);
void handle_routes(http_reply_t &reply);
void handle_active_targets(http_reply_t &reply); // segment 2: route id
void handle_route_source(http_reply_t &reply);   // segment 2: route id
void handle_route_targets(http_reply_t &reply);  // segment 2: route id
void handle_stats(http_reply_t &reply);

// The logs endpoint's limits: at most this many bytes of text, read through a
// piece buffer of LOG_PIECE_SIZE bytes.
#define LOG_TAIL_BODY_SIZE 4000
#define LOG_PIECE_SIZE 1024
