// The HTTP control server: libwebsockets thread, request framing and reply writing.
#pragma once

#include <stddef.h>

#include <libwebsockets.h>

// Sets up the control API's server on g_http_port: HTTPS when MIREVO_TLS_CERT
// and MIREVO_TLS_KEY name a usable pair, else plain HTTP. Returns 0, or -1
// after printing one line with the port and the reason. Main thread, once.
int http_server_start(void);

// Thread entry: serves what http_server_start set up until the process ends,
// reloading the TLS pair on SIGHUP. Should the service loop fail, prints one
// line and ends the process with status 1.
void *http_server_thread(void *arg);

// The protocol callback: answers a read inside its LWS_CALLBACK_HTTP
// invocation; hands a change to the edit worker and writes its reply when the
// worker is done. Returns 0 to keep the connection, non-zero to close it.
int http_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *in,
                  size_t len);
