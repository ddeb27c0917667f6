// The health answer for probes: GET /healthz, without a key.
#include "http/health.h"

#include <libwebsockets.h>
#include <string.h>

#define HEALTH_PATH "/healthz"

bool serve_health_request(struct lws *wsi, http_reply_t &reply)
{
    char path[sizeof HEALTH_PATH];
    // The length first: a longer path must not match by its first characters.
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) != (int)strlen(HEALTH_PATH) ||
        lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0 ||
        strcmp(path, HEALTH_PATH) != 0)
        return false;
    reply.content_type = "text/plain; charset=utf-8";
    add_reply_header(reply, "Cache-Control:", "no-store");
    set_body_text(reply, "ok");
    return true;
}
