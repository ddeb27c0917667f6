// The reply under construction of one control API request and its kinds.
#pragma once

#include <stdint.h>

#include <jansson.h>

#define HTTP_STATUS_SUCCESS 200
#define HTTP_STATUS_FAILURE 555

#define HTTP_EXTRA_HEADERS_MAX 6

// A header beyond Content-Type and the length; both texts are static.
struct http_header_t {
    const char *name; // with its colon, as "Cache-Control:"
    const char *value;
};

// Owned by the callback invocation that handles the request. A handler leaves
// either a JSON value (serialised by the framing) or a heap body, never both.
struct http_reply_t {
    bool success = true;  // status 200, else 555
    bool text = false;    // "text/plain; charset=utf-8", else "application/json"
    char *body = nullptr; // heap bytes, no terminating NUL
    int32_t body_length = 0;
    json_t *json = nullptr; // serialised compact into body, then released
    // A static content type that overrides the text flag (metrics, page assets).
    const char *content_type = nullptr;
    http_header_t extra_headers[HTTP_EXTRA_HEADERS_MAX] = {};
    int extra_header_count = 0;
    // Non-200 status for replies outside /api (404 for an unknown page asset).
    unsigned int status = 0;
};

// A JSON string of text as it is when it is UTF-8 (a new reference). Text that is
// not (a caller's stream id may be any bytes) is shown escaped: each byte outside
// a UTF-8 sequence as \xHH, and a backslash as \\.
json_t *json_text(const char *text);

// JSON reply: takes over value (a new reference).
void set_json_reply(http_reply_t &reply, json_t *value);
// Error reply: {"error": message} with the success flag false.
void set_error_reply(http_reply_t &reply, const char *message);
// Text reply: a heap copy of text as body; the flags are left as they are.
void set_body_text(http_reply_t &reply, const char *text);
// Takes over a heap body of length bytes.
void set_body_bytes(http_reply_t &reply, char *body, int32_t length);
// A heap copy of length bytes of data as the body (an empty body when memory runs out).
void set_body_copy(http_reply_t &reply, const char *data, size_t length);

// Adds a header; ignored past HTTP_EXTRA_HEADERS_MAX.
void add_reply_header(http_reply_t &reply, const char *name, const char *value);

// Serialises a pending JSON value into the body (JSON_COMPACT) and releases it.
void serialise_reply_json(http_reply_t &reply);
// Frees the body and any JSON value.
void release_reply(http_reply_t &reply);
