// GET /api/recordings: a recording's closed segments, listed and fetched (streamed, Range).
#pragma once

#include <libwebsockets.h>

#include "http/reply.h"

// GET /api/recordings?route_id=&target_id=: the closed segments of a file://
// target, oldest first: name, start and end (UTC), seconds, bytes. [] when the
// target is not a recording. Reads the folder with no registry lock held.
void handle_recordings(http_reply_t &reply);

// True for a GET under /api/recordings/ (anything longer than the list).
bool is_recording_download(struct lws *wsi);

/*
 * Answers an admitted GET /api/recordings/<route_id>/<target_id>/<name>: 404
 * unless name is a closed segment of that target's folder, else its head (200,
 * or 206 for one satisfiable Range, 416 for one that is not) now and its bytes
 * from the writable callbacks, never the whole file in memory. Returns what
 * http_callback returns. HTTP thread.
 */
int start_recording_download(struct lws *wsi);
// LWS_CALLBACK_HTTP_WRITEABLE of a download: its next piece. false when wsi is no download.
bool write_recording_download(struct lws *wsi, int *result);
// The connection went: its file is closed.
void forget_recording_download(struct lws *wsi);
