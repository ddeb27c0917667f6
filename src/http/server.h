// The HTTP control server: libwebsockets thread, request framing and reply writing.
#pragma once

#include <stddef.h>

#include <libwebsockets.h>

// Thread entry: serves the control API on g_http_port until the process ends.
// Returns (nullptr) only when the server cannot be set up.
void *http_server_thread(void *arg);

// The protocol callback: answers each request inside one LWS_CALLBACK_HTTP
// invocation. Returns 0 to keep the connection, non-zero to close it.
int http_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *in,
                  size_t len);
