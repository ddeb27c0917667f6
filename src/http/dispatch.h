// Selection of the control API endpoint by method, path segments and segment count.
#pragma once

#include "http/reply.h"

enum http_method_t {
    HTTP_METHOD_GET,
    HTTP_METHOD_POST,
    HTTP_METHOD_DELETE,
    HTTP_METHOD_OPTIONS,
    HTTP_METHOD_PUT,
};

// Runs the endpoint that method and the first count entries of g_uri_segments
// select (exact, case-sensitive segments, exact count). A path that matches
// no endpoint leaves reply untouched: 200 with an empty body. Returns true
// when an endpoint ran. HTTP thread for GET, the edit worker for every other
// method; the caller holds no lock.
bool dispatch_request(http_method_t method, int count, http_reply_t &reply);
