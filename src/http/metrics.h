// Prometheus metrics of the relay and its routes, in the text exposition format 0.0.4.
#pragma once

#include <string>

#include "http/reply.h"

// GET /api/metrics: every family with # HELP and # TYPE, base units, counters
// that never go down while their route or target exists, labels route, target,
// side and reason only. HTTP thread; route figures copied under list_lock.
void handle_metrics(http_reply_t &reply);

// The text handle_metrics answers. Caller holds g_routes_lock.
std::string format_metrics(void);
