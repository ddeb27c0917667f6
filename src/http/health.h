// The health answer for probes: GET /healthz, without a key.
#pragma once

#include "http/reply.h"

struct lws;

/*
 * Answers a GET of exactly "/healthz" with 200 and the text "ok", and tells
 * nothing else. Returns true when it filled the reply; false for every other
 * request, which then goes through the key check. HTTP thread. The thread's
 * loop starts only after the route file is loaded (main), so an answer means
 * both: the routes are in and the loop runs.
 */
bool serve_health_request(struct lws *wsi, http_reply_t &reply);
