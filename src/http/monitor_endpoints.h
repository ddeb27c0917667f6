// Operator views of live traffic: the connections list, kicking one, and a route's history.
#pragma once

#include "http/reply.h"

// Like the read endpoints, the views run on the HTTP thread with g_routes_lock
// held, and read each route's lists under its list_lock only long enough to
// copy what they answer: they never call libsrt. Kicking is a change and runs
// on the edit worker.

// GET /api/connections[?route_id=R[&target_id=T]]: one object per connected SRT
// socket of every route (or of the route/target asked for; an unknown route
// gives []). Figures are those of the last statistics pass.
void handle_connections(http_reply_t &reply);
// DELETE /api/connections/<id>: closes one caller accepted on a listening
// endpoint; "Ok", or 555 {"error":"Connection <id> not found"}.
void handle_kick_connection(http_reply_t &reply);
// GET /api/history?route_id=R: {"t":[unix s],"in_mbps":[..],"targets":{"<id>":[..]}},
// one sample a second for the last 900 s, oldest first.
void handle_history(http_reply_t &reply);
// GET /api/endpoints: {"<route>":{"source":S,"targets":{"<target>":S}}} with S
// "off" (not meant to be open), "open", or "retrying" (an enabled endpoint whose
// socket could not be opened or whose peer refused; tried again with back-off).
void handle_endpoints(http_reply_t &reply);
