// GET /api/events: the relay's events as Server-Sent Events, served from the event ring.
#include "http/event_stream.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <string>

#include "core/events.h"
#include "core/log.h"
#include "http/request.h"

#define EVENT_STREAM_TICK_US (100 * LWS_US_PER_MS)
// Event text handed to one client's socket per writable callback.
#define EVENT_STREAM_WRITE_BYTES 16384
// The kernel keeps little for a stream: a stalled reader shows in its backlog soon.
#define EVENT_STREAM_SOCKET_BUFFER 32768
#define EVENT_STREAM_HEAD_ROOM 512

struct stream_client_t {
    uint64_t last_id = 0;   // the last event its socket took
    uint64_t gap_first = 0; // events it asked for that are no longer kept, sent first
    uint64_t gap_last = 0;
    uint64_t last_write_ms = 0; // monotonic
    bool greeting_due = true;   // the retry interval goes out before anything else
    bool heartbeat_due = false;
};

// Every stream of the HTTP thread, by connection; only that thread touches it.
static std::map<struct lws *, stream_client_t> g_streams;
static std::atomic<size_t> g_stream_count{0};
static lws_sorted_usec_list_t g_stream_timer;
static struct lws_context *g_stream_context = nullptr;

size_t event_stream_clients(void)
{
    return g_stream_count.load();
}

bool is_event_stream_request(struct lws *wsi)
{
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI);
    char path[URI_PATH_SIZE];
    if (total <= 0 || total >= URI_PATH_SIZE ||
        lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0)
        return false;
    const char *segments[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    char *saved = nullptr;
    for (char *segment = strtok_r(path, "/", &saved); segment != nullptr;
         segment = strtok_r(nullptr, "/", &saved)) {
        if (count == 3)
            return false;
        segments[count++] = segment;
    }
    return count == 2 && strcmp(segments[0], "api") == 0 && strcmp(segments[1], "events") == 0;
}

// The id the client saw last: the Last-Event-ID header, else last_event_id; 0 and false when
// neither.
static bool requested_last_id(struct lws *wsi, uint64_t *id)
{
    char text[32] = "";
    if (lws_hdr_custom_copy(wsi, text, sizeof text, "last-event-id:", 14) <= 0)
        snprintf(text, sizeof text, "%s", query_param("last_event_id"));
    char *end = nullptr;
    unsigned long long value = strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || end == text || *end != '\0')
        return false;
    *id = value;
    return true;
}

/*
 * Writes a status line and headers, then body if it is not null (with its
 * length, the transaction then complete). Returns 0, or -1 when a header does
 * not fit or the write fails.
 */
static int write_head(struct lws *wsi, unsigned int status, const char *content_type,
                      const char *body)
{
    unsigned char buffer[LWS_PRE + EVENT_STREAM_HEAD_ROOM + 128];
    unsigned char *start = buffer + LWS_PRE;
    unsigned char *p = start;
    unsigned char *end = start + EVENT_STREAM_HEAD_ROOM;
    const char *headers[][2] = {
        {"Content-Type:", content_type},
        {"Cache-Control:", "no-store"},
        {"X-Content-Type-Options:", "nosniff"},
        // Proxies that buffer replies would hold events back.
        {"X-Accel-Buffering:", "no"},
    };
    if (lws_add_http_header_status(wsi, status, &p, end) != 0)
        return -1;
    for (const auto &header : headers)
        if (lws_add_http_header_by_name(wsi, (const unsigned char *)header[0],
                                        (const unsigned char *)header[1], (int)strlen(header[1]),
                                        &p, end) != 0)
            return -1;
    size_t body_length = body != nullptr ? strlen(body) : 0;
    if (body != nullptr && lws_add_http_header_content_length(wsi, body_length, &p, end) != 0)
        return -1;
    if (lws_finalize_http_header(wsi, &p, end) != 0)
        return -1;
    if (body_length > (size_t)(buffer + sizeof buffer - p))
        return -1;
    if (body_length > 0)
        memcpy(p, body, body_length);
    p += body_length;
    enum lws_write_protocol kind = body != nullptr ? LWS_WRITE_HTTP : LWS_WRITE_HTTP_HEADERS;
    return lws_write(wsi, start, (size_t)(p - start), kind) < 0 ? -1 : 0;
}

int start_event_stream(struct lws *wsi)
{
    if (g_streams.size() >= EVENT_STREAM_CLIENTS_MAX) {
        if (write_head(wsi, 555, "application/json",
                       "{\"error\":\"Too many event stream clients\"}") != 0)
            return 1;
        return lws_http_transaction_completed(wsi) != 0 ? -1 : 0;
    }
    stream_client_t client;
    uint64_t asked = 0;
    if (requested_last_id(wsi, &asked))
        client.last_id = event_stream_start(asked, &client.gap_first, &client.gap_last);
    else
        client.last_id = newest_event_id();
    client.last_write_ms = monotonic_ms();
    if (write_head(wsi, 200, "text/event-stream", nullptr) != 0)
        return 1;
    // The stream lasts: no header or idle timeout of the server applies to it.
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);
    int size = EVENT_STREAM_SOCKET_BUFFER;
    setsockopt(lws_get_socket_fd(wsi), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    g_streams[wsi] = client;
    g_stream_count = g_streams.size();
    lws_callback_on_writable(wsi);
    return 0;
}

static void append_frame(std::string &out, uint64_t id, const std::string &text)
{
    char head[40];
    snprintf(head, sizeof head, "id: %llu\ndata: ", (unsigned long long)id);
    out += head;
    out += text;
    out += "\n\n";
}

int write_event_stream(struct lws *wsi)
{
    auto found = g_streams.find(wsi);
    if (found == g_streams.end())
        return 0;
    stream_client_t &client = found->second;
    std::string chunk(LWS_PRE, '\0');
    if (client.greeting_due)
        chunk += ": mirevo events\nretry: 2000\n\n";
    event_read_t read;
    read_events_after(client.last_id, EVENT_STREAM_WRITE_BYTES, read);
    if (client.gap_first == 0 && read.gap_first != 0) {
        client.gap_first = read.gap_first;
        client.gap_last = read.gap_last;
    }
    if (client.gap_first != 0)
        chunk += "data: " + format_gap_event(client.gap_first, client.gap_last, now_ms()) + "\n\n";
    for (size_t i = 0; i < read.ids.size(); i++)
        append_frame(chunk, read.ids[i], read.texts[i]);
    if (chunk.size() == LWS_PRE && client.heartbeat_due)
        chunk += ": heartbeat\n\n";
    if (chunk.size() == LWS_PRE)
        return 0;
    size_t length = chunk.size() - LWS_PRE;
    if (lws_write(wsi, (unsigned char *)&chunk[LWS_PRE], length, LWS_WRITE_HTTP) < 0)
        return -1;
    client.last_id = read.last_id;
    client.gap_first = client.gap_last = 0;
    client.greeting_due = false;
    client.heartbeat_due = false;
    client.last_write_ms = monotonic_ms();
    if (read.last_id < newest_event_id())
        lws_callback_on_writable(wsi);
    return 0;
}

void forget_event_stream(struct lws *wsi)
{
    if (g_streams.erase(wsi) > 0)
        g_stream_count = g_streams.size();
}

// The stream timer: O(clients). A stalled client is closed, never waited for.
static void tend_event_streams(lws_sorted_usec_list_t *timer)
{
    uint64_t newest = newest_event_id();
    uint64_t now = monotonic_ms();
    for (auto &entry : g_streams) {
        struct lws *wsi = entry.first;
        stream_client_t &client = entry.second;
        uint64_t behind = newest > client.last_id ? newest - client.last_id : 0;
        if (behind > EVENT_STREAM_BACKLOG_MAX) {
            char peer[64] = "";
            lws_get_peer_simple(wsi, peer, sizeof peer);
            log_messagef(LOG_LEVEL_WARNING,
                         "Event stream of %s closed: it fell %llu events behind\n", peer,
                         (unsigned long long)behind);
            // Closed from the service loop once this walk is over.
            client.last_id = newest;
            lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
            continue;
        }
        if (now - client.last_write_ms >= EVENT_STREAM_HEARTBEAT_MS)
            client.heartbeat_due = true;
        if (behind > 0 || client.heartbeat_due || client.gap_first != 0)
            lws_callback_on_writable(wsi);
    }
    lws_sul_schedule(g_stream_context, 0, timer, tend_event_streams, EVENT_STREAM_TICK_US);
}

void start_event_stream_timer(struct lws_context *context)
{
    g_stream_context = context;
    lws_sul_schedule(context, 0, &g_stream_timer, tend_event_streams, EVENT_STREAM_TICK_US);
}
