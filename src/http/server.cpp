// The HTTP control server: libwebsockets thread, request framing and reply writing.
#include "http/server.h"

#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/settings.h"
#include "core/signals.h"
#include "http/dashboard.h"
#include "http/dispatch.h"
#include "http/edit_worker.h"
#include "http/health.h"
#include "http/event_stream.h"
#include "http/recording_endpoints.h"
#include "http/reply.h"
#include "http/request.h"
#include "http/tls.h"

// Room behind LWS_PRE for the status line and the headers (the library
// adds its own server header); the body follows them in the same buffer.
#define REPLY_HEADER_ROOM 1024
// An Authorization header is read into this many bytes.
#define AUTHORIZATION_SIZE 512
// HTTP connections may take a quarter of the descriptor limit, within these
// bounds; the rest stays for SRT sockets, epolls and files.
#define HTTP_DESCRIPTORS_MIN 16
#define HTTP_DESCRIPTORS_MAX 1024
// A request's headers must have come whole this many seconds after it began;
// network round trips of the library (TLS handshakes) have as long.
#define HTTP_HEADER_SECONDS 5
// Room for a request's line and headers: the library's 4 kB default closed requests from
// browsers behind sign-on proxies (long cookies) without an answer.
#define HTTP_HEADER_BYTES 16384
// After an accept failure the listening socket stays readable: the loop pauses
// this long instead of polling it again at once.
#define ACCEPT_FAILURE_PAUSE_US 100000
// The reason text of a failed start or reload.
#define REASON_SIZE 768
// The library sleeps until its next event; this timer wakes it to look for a SIGHUP.
#define HANGUP_CHECK_US (100 * LWS_US_PER_MS)

// Created by http_server_start, serviced by http_server_thread alone.
static struct lws_context *g_http_context = nullptr;
// The library's error output of the last second was shown (HTTP thread).
static uint64_t g_library_line_ms = 0;
static unsigned int g_library_lines_dropped = 0;
static bool g_accept_failed = false;
static lws_sorted_usec_list_t g_hangup_timer;

// What the library keeps for each connection: the change it waits for, if any.
struct http_session_t {
    edit_job_t *job;
};

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
// first fragment that is missing or empty. One too long for the buffer is
// skipped, so that it cannot hide the key after it.
static void read_query_params(struct lws *wsi)
{
    char fragment[QUERY_FRAGMENT_SIZE];
    g_query_params.clear();
    for (int index = 0;; index++) {
        int length = lws_hdr_fragment_length(wsi, WSI_TOKEN_HTTP_URI_ARGS, index);
        if (length <= 0)
            break;
        if (length < (int)sizeof fragment &&
            lws_hdr_copy_fragment(wsi, fragment, sizeof fragment, WSI_TOKEN_HTTP_URI_ARGS,
                                  index) > 0)
            parse_query_param(fragment);
    }
}

/*
 * Finds the method's path and splits it into g_uri_segments. Returns true with
 * the method and the segment count, or false when there is nothing to run: no
 * method the API serves (reply left as it is: 200, empty), or a path answered
 * here with status 555 and {"error": ...} so neither can overrun a fixed table:
 * a path of URI_PATH_SIZE characters or more ("Request path too long") and a
 * path of more than URI_SEGMENT_SLOTS segments ("Too many path segments"). No
 * endpoint has more than 5 segments, so nothing valid is lost.
 */
static bool read_request_path(struct lws *wsi, http_reply_t &reply, http_method_t *method_out,
                              int *count_out)
{
    for (const request_method_t &method : request_methods) {
        int total = lws_hdr_total_length(wsi, method.token);
        if (total <= 0)
            continue;
        char path[URI_PATH_SIZE];
        if (total >= URI_PATH_SIZE || lws_hdr_copy(wsi, path, sizeof path, method.token) < 0) {
            console_printf("%s request URI too long: %d characters\n", method.name, total);
            set_error_reply(reply, "Request path too long");
            return false;
        }
        console_printf("%s request URI: %s\n", method.name, path);
        int count = split_uri_path(path);
        if (count > URI_SEGMENT_SLOTS) {
            set_error_reply(reply, "Too many path segments");
            return false;
        }
        *method_out = method.method;
        *count_out = count;
        return true;
    }
    return false;
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
                               : reply.text                  ? "text/plain; charset=utf-8"
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
 * Bearer" header. Returns nullptr when the request may go on (access says with
 * which rights), else the refusal text. A header too long to copy counts as a
 * wrong key. Neither value is ever printed.
 */
static const char *refuse_key(struct lws *wsi, api_access_t *access)
{
    const char *query_key = query_param("api_key");
    char authorization[AUTHORIZATION_SIZE];
    char token[AUTHORIZATION_SIZE];
    authorization[0] = '\0';
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_AUTHORIZATION);
    bool reading = lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0;
    *access = API_ACCESS_NONE;
    if (total >= (int)sizeof authorization && query_key[0] == '\0')
        return "API key does not same with registered API key";
    if (total > 0 &&
        lws_hdr_copy(wsi, authorization, sizeof authorization, WSI_TOKEN_HTTP_AUTHORIZATION) < 0)
        authorization[0] = '\0';
    const char *refusal = api_key_refusal(
        query_key, bearer_token(authorization, token, sizeof token), reading, access);
    memset(authorization, 0, sizeof authorization);
    memset(token, 0, sizeof token);
    return refusal;
}

// After a reply was written (written: write_reply's result): whether the
// connection stays for the next request (0) or closes (non-zero).
static int end_transaction(struct lws *wsi, int written, bool closing)
{
    if (written != 0)
        return 1;
    if (closing || lws_http_transaction_completed(wsi) != 0)
        return -1;
    return 0;
}

/*
 * Hands a change to the edit worker; the connection waits for its reply, which
 * finish_edit writes once the worker is done. Its time-out is lifted
 * meanwhile: a change may wait long for the disk, or behind earlier changes.
 * Without a session (never expected) the change runs here.
 */
static int defer_edit(struct lws *wsi, http_session_t *session, http_method_t method, int count,
                      http_reply_t &reply, bool closing)
{
    if (session == nullptr) {
        dispatch_request(method, count, reply);
        return end_transaction(wsi, write_reply(wsi, reply, closing), closing);
    }
    edit_job_t *job = make_edit_job(method, count, reply);
    job->wsi = wsi;
    job->closing = closing;
    session->job = job;
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);
    queue_edit(job);
    return 0;
}

/*
 * One whole request: query map, page assets or key check and dispatch, reply,
 * keep-alive. A read is answered here, from memory; a change goes to the edit
 * worker and is answered later (defer_edit).
 */
static int handle_http_request(struct lws *wsi, http_session_t *session, size_t uri_length)
{
    http_reply_t reply;
    if (uri_length == 0) {
        lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
        return 1;
    }
    read_query_params(wsi);
    bool closing = body_runs_to_close(wsi);

    // The health answer, the page and its assets hold no relay data and are served
    // before the key check.
    if (!serve_health_request(wsi, reply) && !serve_dashboard_request(wsi, reply)) {
        // No answer here is a page: log text holding markup must stay text.
        add_reply_header(reply, "X-Content-Type-Options:", "nosniff");
        add_reply_header(reply,
                         "Content-Security-Policy:", "default-src 'none'; frame-ancestors 'none'");
        api_access_t access = API_ACCESS_NONE;
        http_method_t method = HTTP_METHOD_GET;
        int count = 0;
        const char *refusal = refuse_key(wsi, &access);
        if (refusal != nullptr) {
            set_body_text(reply, refusal);
            reply.success = false;
        } else if (is_event_stream_request(wsi)) {
            // A stream that lasts: written from the writable callbacks, not as one reply.
            release_reply(reply);
            return start_event_stream(wsi);
        } else if (is_recording_download(wsi)) {
            // A segment file: streamed from the writable callbacks.
            release_reply(reply);
            return start_recording_download(wsi);
        } else {
            // The dashboard leaves out its edit controls for a read key.
            add_reply_header(reply, "X-Api-Access:", access == API_ACCESS_FULL ? "full" : "read");
            if (read_request_path(wsi, reply, &method, &count)) {
                if (method != HTTP_METHOD_GET)
                    return defer_edit(wsi, session, method, count, reply, closing);
                dispatch_request(method, count, reply);
            }
        }
    }
    return end_transaction(wsi, write_reply(wsi, reply, closing), closing);
}

// The worker finished a change: wakes the service loop, which then answers it
// (answer_finished_edits). Edit worker.
static void wake_http_thread(void)
{
    lws_cancel_service(g_http_context);
}

// Asks to write each finished change's reply; a change whose client left is
// dropped. HTTP thread, when the service loop was woken.
static void answer_finished_edits(void)
{
    std::vector<edit_job_t *> finished;
    take_finished_edits(finished);
    for (edit_job_t *job : finished) {
        job->finished = true;
        if (job->wsi == nullptr)
            free_edit_job(job);
        else
            lws_callback_on_writable(job->wsi);
    }
}

// Writes the reply of the connection's finished change, if it has one.
static int finish_edit(struct lws *wsi, http_session_t *session)
{
    if (session == nullptr || session->job == nullptr || !session->job->finished)
        return 0;
    edit_job_t *job = session->job;
    session->job = nullptr;
    bool closing = job->closing;
    int written = write_reply(wsi, job->reply, closing);
    free_edit_job(job);
    return end_transaction(wsi, written, closing);
}

// The connection ends: a change it waits for still runs, and is dropped once done.
static void forget_session(http_session_t *session)
{
    if (session == nullptr || session->job == nullptr)
        return;
    edit_job_t *job = session->job;
    session->job = nullptr;
    if (job->finished)
        free_edit_job(job);
    else
        job->wsi = nullptr;
}

int http_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *, size_t len)
{
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        console_printf("Connection established\n");
        return 0;
    case LWS_CALLBACK_CLOSED:
        console_printf("Connection closed\n");
        return 0;
    case LWS_CALLBACK_HTTP:
        return handle_http_request(wsi, static_cast<http_session_t *>(user), len);
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        answer_finished_edits();
        return 0;
    case LWS_CALLBACK_HTTP_WRITEABLE: {
        // A connection either waits for a change's reply or carries the event stream.
        http_session_t *session = static_cast<http_session_t *>(user);
        if (session != nullptr && session->job != nullptr)
            return finish_edit(wsi, session);
        int result = 0;
        if (write_recording_download(wsi, &result))
            return result;
        return write_event_stream(wsi);
    }
    // Whichever of these the library sends as a connection goes: the library
    // stops reading a connection that waits for its reply, so in practice the
    // connection stays until finish_edit has written.
    case LWS_CALLBACK_CLOSED_HTTP:
    case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
    case LWS_CALLBACK_WSI_DESTROY:
        forget_session(static_cast<http_session_t *>(user));
        forget_event_stream(wsi);
        forget_recording_download(wsi);
        return 0;
    case LWS_CALLBACK_OPENSSL_LOAD_EXTRA_SERVER_VERIFY_CERTS:
        // The vhost's SSL_CTX comes as the user pointer, once, at context creation.
        return prepare_tls_context(static_cast<SSL_CTX *>(user)) == 0 ? 0 : 1;
    default:
        return 0;
    }
}

static struct lws_protocols http_protocols[] = {
    {"http-only", http_callback, sizeof(http_session_t), 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

/*
 * The library's own error lines go through the logger, at most one a second;
 * the next line shown says how many were dropped. An accept failure (no
 * descriptor left) also makes the service loop pause. Main thread during
 * context creation, then the HTTP thread.
 */
static void emit_library_line(int, const char *line)
{
    if (strncmp(line, "accept", 6) == 0)
        g_accept_failed = true;
    uint64_t now = now_ms();
    if (g_library_line_ms != 0 && now - g_library_line_ms < 1000) {
        g_library_lines_dropped++;
        return;
    }
    g_library_line_ms = now;
    int length = (int)strcspn(line, "\r\n");
    if (g_library_lines_dropped > 0)
        log_messagef(LOG_LEVEL_ERR, "HTTP server: %.*s (%u similar lines dropped)\n", length, line,
                     g_library_lines_dropped);
    else
        log_messagef(LOG_LEVEL_ERR, "HTTP server: %.*s\n", length, line);
    g_library_lines_dropped = 0;
}

static unsigned int http_descriptor_cap(void)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return HTTP_DESCRIPTORS_MAX;
    rlim_t quarter = limit.rlim_cur / 4;
    if (quarter < HTTP_DESCRIPTORS_MIN)
        return HTTP_DESCRIPTORS_MIN;
    return quarter > HTTP_DESCRIPTORS_MAX ? HTTP_DESCRIPTORS_MAX : (unsigned int)quarter;
}

/*
 * Why the library could not listen on port: binds a socket as the library
 * does (IPv6 for both families when the system has it, address reuse) and
 * takes the system's text for the failure.
 */
static void describe_listen_failure(int port, char *reason, size_t size)
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    int result = -1;
    int one = 1;
    if (fd >= 0) {
        struct sockaddr_in6 addr;
        memset(&addr, 0, sizeof addr);
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons((uint16_t)port);
        addr.sin6_addr = in6addr_any;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        result = bind(fd, (struct sockaddr *)&addr, sizeof addr);
    } else {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons((uint16_t)port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (fd >= 0) {
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            result = bind(fd, (struct sockaddr *)&addr, sizeof addr);
        }
    }
    if (result != 0)
        snprintf(reason, size, "%s", strerror(errno));
    else
        snprintf(reason, size, "the HTTP library could not set up its server");
    if (fd >= 0)
        close(fd);
}

// The certificate pair for the TLS of the port: 0, or -1 with the reason.
static int load_start_tls_pair(char *reason, size_t size)
{
    if (g_tls_cert_path[0] == '\0' || g_tls_key_path[0] == '\0') {
        snprintf(reason, size, "MIREVO_TLS_CERT and MIREVO_TLS_KEY must be set together");
        return -1;
    }
    tls_pair_t pair;
    if (load_tls_pair(g_tls_cert_path, g_tls_key_path, pair, reason, size) != 0)
        return -1;
    use_tls_pair(pair);
    return 0;
}

int http_server_start(void)
{
    char reason[REASON_SIZE];
    struct lws_context_creation_info info;
    memset(&info, 0, sizeof info);
    info.port = g_http_port;
    info.protocols = http_protocols;
    info.fd_limit_per_thread = http_descriptor_cap();
    info.timeout_secs = HTTP_HEADER_SECONDS;
    info.timeout_secs_ah_idle = HTTP_HEADER_SECONDS;
    info.max_http_header_data = HTTP_HEADER_BYTES;

    bool tls = g_tls_cert_path[0] != '\0' || g_tls_key_path[0] != '\0';
    if (tls) {
        if (load_start_tls_pair(reason, sizeof reason) != 0) {
            console_printf("HTTP server cannot start on port %d: %s\n", g_http_port, reason);
            return -1;
        }
        // The library makes an empty context; the callback puts the pair in.
        info.options |=
            LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_CREATE_VHOST_SSL_CTX;
        // HTTP/1.1 only: every reply is written as one HTTP/1.1 response.
        info.alpn = "http/1.1";
    }

    // The library's own lines would repeat what the one line below says.
    lws_set_log_level(0, nullptr);
    g_http_context = lws_create_context(&info);
    if (g_http_context == nullptr) {
        describe_listen_failure(g_http_port, reason, sizeof reason);
        console_printf("HTTP server cannot start on port %d: %s\n", g_http_port, reason);
        return -1;
    }
    // Errors only: the library's notices would flood the console.
    lws_set_log_level(LLL_ERR, emit_library_line);
    int err = start_edit_worker(wake_http_thread);
    if (err != 0) {
        console_printf("HTTP server cannot start on port %d: no thread for changes: %s\n",
                       g_http_port, strerror(err));
        return -1;
    }
    return 0;
}

// SIGHUP: the pair is read again; a pair that cannot be used leaves the one in use.
static void reload_tls_pair(void)
{
    char reason[REASON_SIZE];
    if (g_tls_cert_path[0] == '\0') {
        log_message(LOG_LEVEL_INFO,
                    "SIGHUP: no TLS certificate is configured, nothing to reload\n");
        return;
    }
    tls_pair_t pair;
    if (load_tls_pair(g_tls_cert_path, g_tls_key_path, pair, reason, sizeof reason) != 0) {
        log_messagef(LOG_LEVEL_ERR, "TLS certificate not reloaded, the one in use stays: %s\n",
                     reason);
        return;
    }
    use_tls_pair(pair);
    log_messagef(LOG_LEVEL_INFO, "TLS certificate reloaded from %s\n", g_tls_cert_path);
}

// The hangup timer: HTTP thread, between requests.
static void check_hangup(lws_sorted_usec_list_t *timer)
{
    if (g_hangup_received.exchange(0) != 0)
        reload_tls_pair();
    lws_sul_schedule(g_http_context, 0, timer, check_hangup, HANGUP_CHECK_US);
}

void *http_server_thread(void *)
{
    lws_sul_schedule(g_http_context, 0, &g_hangup_timer, check_hangup, HANGUP_CHECK_US);
    start_event_stream_timer(g_http_context);
    for (;;) {
        if (lws_service(g_http_context, 50) < 0) {
            console_printf("HTTP server on port %d stopped: its service loop failed\n",
                           g_http_port);
            // As in the exit signal: no static destructor under the route threads.
            exit_after_log(1);
        }
        usleep(g_accept_failed ? ACCEPT_FAILURE_PAUSE_US : 10);
        g_accept_failed = false;
    }
}
