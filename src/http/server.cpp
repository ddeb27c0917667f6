// The HTTP control server: libwebsockets thread, request framing and reply writing.
#include "http/server.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/log.h"
#include "core/settings.h"
#include "http/dashboard.h"
#include "http/dispatch.h"
#include "http/reply.h"
#include "http/request.h"

// Room behind LWS_PRE for the status line and the headers (the library
// adds its own server header); the body follows them in the same buffer.
#define REPLY_HEADER_ROOM 1024
// An Authorization header is read into this many bytes.
#define AUTHORIZATION_SIZE 512

struct request_method_t {
    enum lws_token_indexes token;
    http_method_t method;
    const char *name;
};

// Asked in this order; a request carries exactly one of them.
static const request_method_t request_methods[] = {
    {WSI_TOKEN_GET_URI, HTTP_METHOD_GET, "GET"},
    {WSI_TOKEN_POST_URI, HTTP_METHOD_POST, "POST"},
    {WSI_TOKEN_DELETE_URI, HTTP_METHOD_DELETE, "DELETE"},
    {WSI_TOKEN_OPTIONS_URI, HTTP_METHOD_OPTIONS, "OPTIONS"},
    {WSI_TOKEN_PUT_URI, HTTP_METHOD_PUT, "PUT"},
};

// Fills g_query_params from the query string, fragment by fragment, until the
// first fragment that is missing, empty or 256 characters or more.
static void read_query_params(struct lws *wsi)
{
    char fragment[QUERY_FRAGMENT_SIZE];
    g_query_params.clear();
    for (int index = 0;; index++) {
        int length =
            lws_hdr_copy_fragment(wsi, fragment, sizeof fragment, WSI_TOKEN_HTTP_URI_ARGS, index);
        if (length <= 0)
            break;
        parse_query_param(fragment);
    }
}

/*
 * Finds the method's path, splits it and runs the endpoint it names. Two cases
 * are answered here with status 555 and {"error": ...}, so neither can overrun
 * a fixed table: a path of URI_PATH_SIZE characters or more ("Request path too
 * long") and a path of more than URI_SEGMENT_SLOTS segments ("Too many path
 * segments"). No endpoint has more than 5 segments, so nothing valid is lost.
 */
static void route_request(struct lws *wsi, http_reply_t &reply)
{
    for (const request_method_t &method : request_methods) {
        int total = lws_hdr_total_length(wsi, method.token);
        if (total <= 0)
            continue;
        char path[URI_PATH_SIZE];
        if (total >= URI_PATH_SIZE || lws_hdr_copy(wsi, path, sizeof path, method.token) < 0) {
            console_printf("%s request URI too long: %d characters\n", method.name, total);
            set_error_reply(reply, "Request path too long");
            return;
        }
        console_printf("%s request URI: %s\n", method.name, path);
        int count = split_uri_path(path);
        if (count > URI_SEGMENT_SLOTS) {
            set_error_reply(reply, "Too many path segments");
            return;
        }
        dispatch_request(method.method, count, reply);
        return;
    }
}

/*
 * True for a POST, PUT or PATCH without Content-Length and Transfer-Encoding.
 * Such a request has no body, but the library reads everything after it on
 * the connection as its body, so a further request there would never be
 * answered: the connection is closed after the reply instead.
 */
static bool body_runs_to_close(struct lws *wsi)
{
    bool may_carry_body = lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) > 0 ||
                          lws_hdr_total_length(wsi, WSI_TOKEN_PUT_URI) > 0 ||
                          lws_hdr_total_length(wsi, WSI_TOKEN_PATCH_URI) > 0;
    return may_carry_body && lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) <= 0 &&
           lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) <= 0;
}

/*
 * Writes status line, headers and body in one lws_write. The buffer is sized
 * from the body, so a reply of any size goes out whole; what the socket does
 * not take at once the library keeps and sends later. With closing, the
 * reply says "connection: close". Consumes the reply.
 * Returns 0, or 1 when a header does not fit or the write fails.
 */
static int write_reply(struct lws *wsi, http_reply_t &reply, bool closing)
{
    serialise_reply_json(reply);
    size_t body_length = (size_t)reply.body_length;
    size_t size = LWS_PRE + REPLY_HEADER_ROOM + body_length;
    unsigned char *buffer = static_cast<unsigned char *>(malloc(size));
    if (buffer == nullptr) {
        release_reply(reply);
        return 1;
    }
    unsigned char *start = buffer + LWS_PRE;
    unsigned char *p = start;
    unsigned char *header_end = start + REPLY_HEADER_ROOM;
    const char *content_type = reply.content_type != nullptr ? reply.content_type
                               : reply.text                  ? "text/html; charset=utf-8"
                                                             : "application/json";
    unsigned int status = reply.status != 0 ? reply.status
                          : reply.success   ? HTTP_STATUS_SUCCESS
                                            : HTTP_STATUS_FAILURE;
    int result = 1;

    if (lws_add_http_header_status(wsi, status, &p, header_end) != 0)
        goto out;
    if (lws_add_http_header_by_name(
            wsi, (const unsigned char *)"Content-Type:", (const unsigned char *)content_type,
            (int)strlen(content_type), &p, header_end) != 0)
        goto out;
    if (lws_add_http_header_content_length(wsi, body_length, &p, header_end) != 0)
        goto out;
    for (int i = 0; i < reply.extra_header_count; i++) {
        const http_header_t &header = reply.extra_headers[i];
        if (lws_add_http_header_by_name(wsi, (const unsigned char *)header.name,
                                        (const unsigned char *)header.value,
                                        (int)strlen(header.value), &p, header_end) != 0)
            goto out;
    }
    if (closing &&
        lws_add_http_header_by_token(wsi, WSI_TOKEN_CONNECTION, (const unsigned char *)"close", 5,
                                     &p, header_end) != 0)
        goto out;
    if (lws_finalize_http_header(wsi, &p, header_end) != 0)
        goto out;
    if (body_length > 0) {
        memcpy(p, reply.body, body_length);
        p += body_length;
    }
    release_reply(reply);
    if (lws_write(wsi, start, (size_t)(p - start), LWS_WRITE_HTTP) >= 0)
        result = 0;
out:
    release_reply(reply);
    free(buffer);
    return result;
}

/*
 * The key of the request: the api_key parameter, else an "Authorization:
 * Bearer" header. Returns nullptr when it matches, else the refusal text. A
 * header too long to copy counts as a wrong key. Neither value is ever printed.
 */
static const char *refuse_key(struct lws *wsi)
{
    const char *query_key = query_param("api_key");
    char authorization[AUTHORIZATION_SIZE];
    char token[AUTHORIZATION_SIZE];
    authorization[0] = '\0';
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_AUTHORIZATION);
    if (total >= (int)sizeof authorization && query_key[0] == '\0')
        return "API key does not same with registered API key";
    if (total > 0 &&
        lws_hdr_copy(wsi, authorization, sizeof authorization, WSI_TOKEN_HTTP_AUTHORIZATION) < 0)
        authorization[0] = '\0';
    const char *refusal =
        api_key_refusal(query_key, bearer_token(authorization, token, sizeof token));
    memset(authorization, 0, sizeof authorization);
    memset(token, 0, sizeof token);
    return refusal;
}

// One whole request: query map, page assets or key check and dispatch, reply, keep-alive.
static int handle_http_request(struct lws *wsi, size_t uri_length)
{
    http_reply_t reply;
    if (uri_length == 0) {
        lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
        return 1;
    }
    read_query_params(wsi);

    // The page and its assets hold no relay data and are served before the key check.
    if (!serve_dashboard_request(wsi, reply)) {
        const char *refusal = refuse_key(wsi);
        if (refusal != nullptr) {
            set_body_text(reply, refusal);
            reply.success = false;
        } else {
            route_request(wsi, reply);
        }
    }

    bool closing = body_runs_to_close(wsi);
    if (write_reply(wsi, reply, closing) != 0)
        return 1;
    if (closing || lws_http_transaction_completed(wsi) != 0)
        return -1;
    return 0;
}

int http_callback(struct lws *wsi, enum lws_callback_reasons reason, void *, void *, size_t len)
{
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        console_printf("Connection established\n");
        return 0;
    case LWS_CALLBACK_CLOSED:
        console_printf("Connection closed\n");
        return 0;
    case LWS_CALLBACK_HTTP:
        return handle_http_request(wsi, len);
    default:
        return 0;
    }
}

static struct lws_protocols http_protocols[] = {
    {"http-only", http_callback, 48, 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void *http_server_thread(void *)
{
    struct lws_context_creation_info info;
    memset(&info, 0, sizeof info);
    info.port = g_http_port;
    info.protocols = http_protocols;

    // Errors only: the library's notices would flood the console.
    lws_set_log_level(LLL_ERR, nullptr);
    struct lws_context *context = lws_create_context(&info);
    if (context == nullptr) {
        console_printf("Failed to create libwebsocket context\n");
        return nullptr;
    }
    for (;;) {
        lws_service(context, 50);
        usleep(10);
    }
}
