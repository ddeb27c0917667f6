// The relay's events: made where things change, kept for the event stream, queued for the webhook.
#include "core/events.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "core/log.h"

const char *const event_type_names[EVENT_TYPE_COUNT] = {
    "route.created",       "route.deleted",   "route.changed",    "source.connected",
    "source.disconnected", "source.switched", "target.connected", "target.disconnected",
    "caller.refused",      "auth.denied",     "endpoint.open",    "endpoint.retrying",
    "config.save_failed",  "relay.started",   "relay.stopping",
};

struct event_slot_t {
    uint64_t id = 0;
    uint64_t queued_ms = 0; // monotonic, for the webhook's batching
    std::string text;
};

/*
 * g_events_lock guards everything below. It is the last lock anyone takes and
 * nothing is taken under it: emit_event may be called under any other lock
 * (route.lock, list_lock, the port table's), and nothing under it waits, logs
 * or does I/O. The ring holds event newest - k in slot (newest - k) % size.
 */
static pthread_mutex_t g_events_lock = PTHREAD_MUTEX_INITIALIZER;
static std::vector<event_slot_t> g_ring;
static size_t g_ring_size = EVENT_REPLAY_MAX;
static uint64_t g_first_id = 1;
static uint64_t g_newest_id = 0; // g_first_id - 1 before any event
static uint64_t g_emitted[EVENT_TYPE_COUNT] = {};
// The webhook's queue: the undelivered events are g_webhook_next .. g_newest_id.
static bool g_webhook = false;
static size_t g_queue_limit = 10000;
static uint64_t g_webhook_next = 1;
static uint64_t g_gap_first = 0, g_gap_last = 0; // dropped and not yet reported
static uint64_t g_webhook_dropped = 0;
// Set while flush_events waits: batches go as they are.
static std::atomic<bool> g_flushing{false};

event_value_t event_names(const char *key, const char *comma_separated)
{
    event_value_t value(key, comma_separated);
    value.kind = EVENT_VALUE_NAMES;
    return value;
}

// A bounded JSON text: once a piece does not fit, the text is marked full.
struct json_text_t {
    char *data;
    size_t size; // room, with one byte kept for the NUL
    size_t used = 0;
    bool full = false;
};

static void put_bytes(json_text_t &out, const char *bytes, size_t length)
{
    if (out.full || out.used + length + 1 > out.size) {
        out.full = true;
        return;
    }
    memcpy(out.data + out.used, bytes, length);
    out.used += length;
    out.data[out.used] = '\0';
}

static void put_text(json_text_t &out, const char *text)
{
    put_bytes(out, text, strlen(text));
}

static void put_format(json_text_t &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void put_format(json_text_t &out, const char *format, ...)
{
    char piece[64];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= sizeof piece) {
        out.full = true;
        return;
    }
    put_bytes(out, piece, (size_t)length);
}

// Length of the valid UTF-8 sequence at text (at most left bytes), or 0 when it is not one.
static size_t utf8_sequence(const unsigned char *text, size_t left)
{
    unsigned char lead = text[0];
    size_t length;
    uint32_t point;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        point = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        point = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (length > left)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xc0) != 0x80)
            return 0;
        point = (point << 6) | (text[i] & 0x3f);
    }
    // Overlong forms, surrogates and points past U+10FFFF are not text.
    bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    if (overlong || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff)
        return 0;
    return length;
}

// A JSON string of at most limit bytes of text: quotes, backslashes and control
// characters escaped, each byte that is not UTF-8 written as U+FFFD, so a peer's
// stream id can never make the event unreadable to a receiver.
static void put_string(json_text_t &out, const char *text, size_t limit)
{
    const unsigned char *bytes = (const unsigned char *)text;
    size_t length = strnlen(text, limit);
    put_bytes(out, "\"", 1);
    size_t i = 0;
    while (i < length && !out.full) {
        unsigned char byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            char escaped[2] = {'\\', (char)byte};
            put_bytes(out, escaped, 2);
            i++;
        } else if (byte < 0x20 || byte == 0x7f) {
            put_format(out, "\\u%04x", byte);
            i++;
        } else {
            size_t sequence = utf8_sequence(bytes + i, length - i);
            if (sequence == 0) {
                put_text(out, "\\ufffd");
                i++;
            } else {
                put_bytes(out, text + i, sequence);
                i += sequence;
            }
        }
    }
    put_bytes(out, "\"", 1);
}

// ["a","b"] from "a,b"; empty names are skipped.
static void put_names(json_text_t &out, const char *names)
{
    put_bytes(out, "[", 1);
    bool first = true;
    const char *start = names;
    while (*start != '\0') {
        const char *end = strchr(start, ',');
        size_t length = end != nullptr ? (size_t)(end - start) : strlen(start);
        if (length > 0) {
            if (!first)
                put_bytes(out, ",", 1);
            put_string(out, start, length);
            first = false;
        }
        start += length + (end != nullptr ? 1 : 0);
    }
    put_bytes(out, "]", 1);
}

static void put_time(json_text_t &out, uint64_t wall_ms)
{
    time_t seconds = (time_t)(wall_ms / 1000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    put_format(out, "\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03uZ\"", parts.tm_year + 1900,
               parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
               (unsigned)(wall_ms % 1000));
}

static void put_value(json_text_t &out, const event_value_t &value)
{
    put_bytes(out, ",", 1);
    put_string(out, value.key, 64);
    put_bytes(out, ":", 1);
    switch (value.kind) {
    case EVENT_VALUE_INTEGER:
        put_format(out, "%lld", (long long)value.integer);
        break;
    case EVENT_VALUE_REAL:
        // JSON has no NaN or infinity.
        if (value.real == value.real && value.real < 1e300 && value.real > -1e300)
            put_format(out, "%.6g", value.real);
        else
            put_text(out, "null");
        break;
    case EVENT_VALUE_BOOL:
        put_text(out, value.integer != 0 ? "true" : "false");
        break;
    case EVENT_VALUE_TEXT:
        if (value.text != nullptr)
            put_string(out, value.text, EVENT_STREAM_ID_MAX);
        else
            put_text(out, "null");
        break;
    case EVENT_VALUE_NAMES:
        put_names(out, value.text != nullptr ? value.text : "");
        break;
    }
}

/*
 * Everything of an event after its id: ,"time":...,"type":...,scope,values}.
 * Each member goes whole or not at all: from the first that does not fit
 * (hostile texts escape to six bytes a byte) the rest are left out, so the
 * text is always JSON. Returns the length written into buffer.
 */
static size_t format_event_rest(char *buffer, size_t size, event_type_t type,
                                const event_scope_t &scope,
                                std::initializer_list<event_value_t> values)
{
    json_text_t out = {buffer, size - 1}; // one byte stays for the closing brace
    buffer[0] = '\0';
    put_bytes(out, ",", 1);
    put_time(out, now_ms());
    put_format(out, ",\"type\":\"%s\"", event_type_names[type]);
    const event_value_t scoped[4] = {{"route_id", scope.route_id},
                                     {"target_id", scope.target_id},
                                     {"peer", scope.peer},
                                     {"stream_id", scope.stream_id}};
    const bool applies[4] = {scope.route_id >= 0, scope.target_id >= 0, scope.peer != nullptr,
                             scope.stream_id != nullptr};
    // Once a member did not fit, out stays full and nothing more is written.
    auto put_member = [&out](const event_value_t &member) {
        size_t before = out.used;
        put_value(out, member);
        if (out.full)
            out.used = before;
    };
    for (int i = 0; i < 4; i++)
        if (applies[i])
            put_member(scoped[i]);
    for (const event_value_t &value : values)
        put_member(value);
    buffer[out.used++] = '}';
    buffer[out.used] = '\0';
    return out.used;
}

// The slot of id. Caller holds g_events_lock; the ring exists.
static event_slot_t &slot_of(uint64_t id)
{
    return g_ring[id % g_ring_size];
}

// The oldest id still kept. Caller holds g_events_lock.
static uint64_t oldest_kept_id(void)
{
    uint64_t count = g_newest_id + 1 - g_first_id;
    return count > g_ring_size ? g_newest_id + 1 - g_ring_size : g_first_id;
}

// Drops the oldest undelivered events while the queue is over its limit. Caller holds
// g_events_lock.
static void trim_webhook_queue(void)
{
    while (g_newest_id + 1 - g_webhook_next > g_queue_limit) {
        if (g_gap_first == 0)
            g_gap_first = g_webhook_next;
        g_gap_last = g_webhook_next;
        g_webhook_next++;
        g_webhook_dropped++;
    }
}

void emit_event(event_type_t type, const event_scope_t &scope,
                std::initializer_list<event_value_t> values)
{
    if ((int)type < 0 || type >= EVENT_TYPE_COUNT)
        return;
    char rest[EVENT_TEXT_MAX];
    size_t length = format_event_rest(rest, sizeof rest, type, scope, values);
    uint64_t queued_ms = monotonic_ms();

    pthread_mutex_lock(&g_events_lock);
    if (g_ring.empty())
        g_ring.resize(g_ring_size);
    uint64_t id = ++g_newest_id;
    char head[32];
    int head_length = snprintf(head, sizeof head, "{\"id\":%llu", (unsigned long long)id);
    event_slot_t &slot = slot_of(id);
    slot.id = id;
    slot.queued_ms = queued_ms;
    slot.text.assign(head, (size_t)head_length);
    slot.text.append(rest, length);
    g_emitted[type]++;
    if (g_webhook)
        trim_webhook_queue();
    pthread_mutex_unlock(&g_events_lock);
}

void configure_events(size_t queue_limit, bool webhook, uint64_t first_id)
{
    pthread_mutex_lock(&g_events_lock);
    g_queue_limit = queue_limit > 0 ? queue_limit : 1;
    g_webhook = webhook;
    g_ring_size = webhook && g_queue_limit > EVENT_REPLAY_MAX ? g_queue_limit : EVENT_REPLAY_MAX;
    g_ring.clear();
    g_ring.shrink_to_fit();
    g_first_id = first_id > 0 ? first_id : 1;
    g_newest_id = g_first_id - 1;
    g_webhook_next = g_first_id;
    g_gap_first = g_gap_last = 0;
    g_webhook_dropped = 0;
    memset(g_emitted, 0, sizeof g_emitted);
    pthread_mutex_unlock(&g_events_lock);
}

uint64_t first_event_id(int64_t unix_seconds)
{
    return unix_seconds > 0 ? (uint64_t)unix_seconds * 1000000u + 1 : 1;
}

uint64_t newest_event_id(void)
{
    pthread_mutex_lock(&g_events_lock);
    uint64_t id = g_newest_id;
    pthread_mutex_unlock(&g_events_lock);
    return id;
}

/*
 * The first id after last_id that can still be sent, and the ids skipped for
 * good (gap, 0 when none). An id of another run (above the newest, or below
 * this run's first) starts at this run's first. Caller holds g_events_lock.
 */
static uint64_t first_to_send(uint64_t last_id, uint64_t *gap_first, uint64_t *gap_last)
{
    uint64_t oldest = oldest_kept_id();
    if (g_newest_id + 1 - oldest > EVENT_REPLAY_MAX)
        oldest = g_newest_id + 1 - EVENT_REPLAY_MAX;
    uint64_t start = last_id + 1;
    if (last_id > g_newest_id || last_id + 1 < g_first_id)
        start = g_first_id;
    *gap_first = *gap_last = 0;
    if (start < oldest) {
        *gap_first = start;
        *gap_last = oldest - 1;
        start = oldest;
    }
    return start;
}

uint64_t event_stream_start(uint64_t last_id, uint64_t *gap_first, uint64_t *gap_last)
{
    pthread_mutex_lock(&g_events_lock);
    uint64_t start = first_to_send(last_id, gap_first, gap_last);
    pthread_mutex_unlock(&g_events_lock);
    return start - 1;
}

void read_events_after(uint64_t last_id, size_t max_bytes, event_read_t &out)
{
    out = event_read_t{};
    pthread_mutex_lock(&g_events_lock);
    uint64_t start = first_to_send(last_id, &out.gap_first, &out.gap_last);
    size_t bytes = 0;
    for (uint64_t id = start; id <= g_newest_id; id++) {
        const event_slot_t &slot = slot_of(id);
        if (!out.ids.empty() && bytes + slot.text.size() > max_bytes)
            break;
        bytes += slot.text.size();
        out.ids.push_back(id);
        out.texts.push_back(slot.text);
    }
    out.last_id = !out.ids.empty() ? out.ids.back() : start - 1;
    pthread_mutex_unlock(&g_events_lock);
}

std::string format_gap_event(uint64_t first_id, uint64_t last_id, uint64_t wall_ms)
{
    char buffer[256];
    json_text_t out = {buffer, sizeof buffer};
    buffer[0] = '\0';
    put_text(out, "{\"type\":\"gap\",");
    put_time(out, wall_ms);
    put_format(out, ",\"missed\":%llu", (unsigned long long)(last_id + 1 - first_id));
    put_format(out, ",\"first_id\":%llu", (unsigned long long)first_id);
    put_format(out, ",\"last_id\":%llu}", (unsigned long long)last_id);
    return std::string(buffer, out.used);
}

bool take_webhook_batch(size_t max_events, uint64_t max_wait_ms, webhook_batch_t &batch)
{
    batch = webhook_batch_t{};
    pthread_mutex_lock(&g_events_lock);
    uint64_t waiting = g_newest_id + 1 - g_webhook_next;
    bool ready = g_gap_first != 0 || g_flushing.load() || waiting >= max_events;
    if (!ready && waiting > 0)
        ready = monotonic_ms() - slot_of(g_webhook_next).queued_ms >= max_wait_ms;
    if (!g_webhook || !ready || (waiting == 0 && g_gap_first == 0)) {
        pthread_mutex_unlock(&g_events_lock);
        return false;
    }
    batch.body = "[";
    if (g_gap_first != 0) {
        batch.gap_first = g_gap_first;
        batch.gap_last = g_gap_last;
        batch.body += format_gap_event(g_gap_first, g_gap_last, now_ms());
    }
    for (uint64_t id = g_webhook_next; id <= g_newest_id && batch.events < max_events; id++) {
        if (batch.body.size() > 1)
            batch.body += ",";
        batch.body += slot_of(id).text;
        batch.last_id = id;
        batch.events++;
    }
    batch.body += "]";
    pthread_mutex_unlock(&g_events_lock);
    return true;
}

void webhook_batch_delivered(const webhook_batch_t &batch)
{
    pthread_mutex_lock(&g_events_lock);
    // The batch covered its gap and then every id up to its last event; events
    // dropped while it was on its way were in it.
    uint64_t covered = batch.events > 0 ? batch.last_id : batch.gap_last;
    if (covered + 1 > g_webhook_next)
        g_webhook_next = covered + 1;
    if (g_gap_first != 0 && g_gap_first <= covered) {
        g_gap_first = covered + 1;
        if (g_gap_first > g_gap_last)
            g_gap_first = g_gap_last = 0;
    }
    pthread_mutex_unlock(&g_events_lock);
}

// Whether undelivered events or an unreported gap wait. Caller holds g_events_lock.
static bool webhook_pending(void)
{
    return g_webhook && (g_newest_id + 1 > g_webhook_next || g_gap_first != 0);
}

int flush_events(int timeout_ms)
{
    uint64_t deadline = monotonic_ms() + (uint64_t)timeout_ms;
    g_flushing = true;
    int result = 0;
    for (;;) {
        pthread_mutex_lock(&g_events_lock);
        bool pending = webhook_pending();
        pthread_mutex_unlock(&g_events_lock);
        if (!pending)
            break;
        if (monotonic_ms() >= deadline) {
            result = -1;
            break;
        }
        usleep(10000);
    }
    g_flushing = false;
    return result;
}

void read_event_counts(event_counts_t &counts)
{
    pthread_mutex_lock(&g_events_lock);
    memcpy(counts.emitted, g_emitted, sizeof counts.emitted);
    counts.webhook_queue = g_webhook ? (size_t)(g_newest_id + 1 - g_webhook_next) : 0;
    counts.webhook_dropped = g_webhook_dropped;
    pthread_mutex_unlock(&g_events_lock);
}
