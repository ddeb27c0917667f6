// Route editing endpoints: create, delete, switch and reconfigure routes and targets.
#pragma once

#include "http/reply.h"
#include "srt/endpoint.h"

// Each turns the current request (route id in segment 2, target id in segment
// 4, settings in g_query_params) into one management operation and its result
// into reply. They take no lock: the operations take their own. HTTP thread.

void handle_create_route(http_reply_t &reply);
void handle_add_target(http_reply_t &reply);
void handle_delete_route(http_reply_t &reply);
void handle_delete_target(http_reply_t &reply);
void handle_enable_source(http_reply_t &reply);
void handle_enable_target(http_reply_t &reply);
void handle_update_source(http_reply_t &reply);
void handle_update_target(http_reply_t &reply);

// Mode names by exact comparison: "pull"/"Pull" (source) or "push"/"Push"
// (target) give caller, "rendezvous"/"Rendezvous" rendezvous, all else listen.
conn_mode_t source_mode_from_name(const char *name);
conn_mode_t target_mode_from_name(const char *name);
