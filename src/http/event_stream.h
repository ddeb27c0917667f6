// GET /api/events: the relay's events as Server-Sent Events, served from the event ring.
#pragma once

#include <stddef.h>

#include <libwebsockets.h>

// Clients streaming at once; one more is refused with "Too many event stream clients".
#define EVENT_STREAM_CLIENTS_MAX 256
// A client this many events behind (emitted, not yet taken by its socket) is
// disconnected: it could not be served without a gap any more.
#define EVENT_STREAM_BACKLOG_MAX 1000
// A comment goes to a client that was sent nothing for this long.
#define EVENT_STREAM_HEARTBEAT_MS 15000

// All below run on the HTTP thread; the client table is its own.

// True for GET /api/events (segments "api" and "events", blanks between slashes ignored).
bool is_event_stream_request(struct lws *wsi);

/*
 * Answers an admitted GET /api/events: the stream's head now, its events from
 * the writable callbacks. Starts after the Last-Event-ID header (or the
 * last_event_id query parameter), else after the newest event. Returns what
 * http_callback returns: 0 to keep the connection, non-zero to close it.
 */
int start_event_stream(struct lws *wsi);

// LWS_CALLBACK_HTTP_WRITEABLE: writes the next events of a stream (at most 16 KB).
int write_event_stream(struct lws *wsi);

// LWS_CALLBACK_CLOSED_HTTP: forgets the connection if it was a stream.
void forget_event_stream(struct lws *wsi);

// Every 100 ms on context: wakes streams that have events or a heartbeat due,
// and disconnects those whose backlog passed EVENT_STREAM_BACKLOG_MAX.
void start_event_stream_timer(struct lws_context *context);

// Clients streaming now.
size_t event_stream_clients(void);
