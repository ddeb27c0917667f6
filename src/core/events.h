// The relay's events: made where things change, kept for the event stream, queued for the webhook.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

enum event_type_t {
    EVENT_ROUTE_CREATED,
    EVENT_ROUTE_DELETED,
    EVENT_ROUTE_CHANGED,
    EVENT_SOURCE_CONNECTED,
    EVENT_SOURCE_DISCONNECTED,
    EVENT_SOURCE_SWITCHED,
    EVENT_TARGET_CONNECTED,
    EVENT_TARGET_DISCONNECTED,
    EVENT_CALLER_REFUSED,
    EVENT_AUTH_DENIED,
    EVENT_ENDPOINT_OPEN,
    EVENT_ENDPOINT_RETRYING,
    EVENT_CONFIG_SAVE_FAILED,
    EVENT_RELAY_STARTED,
    EVENT_RELAY_STOPPING,
    EVENT_TYPE_COUNT,
};
// "route.created", ... in the order above.
extern const char *const event_type_names[EVENT_TYPE_COUNT];

// Where an event applies: -1 or nullptr where it does not. Texts are copied.
struct event_scope_t {
    int32_t route_id = -1;
    int32_t target_id = -1;
    const char *peer = nullptr;      // numeric host:port
    const char *stream_id = nullptr; // cut to EVENT_STREAM_ID_MAX characters
};

enum event_value_kind_t {
    EVENT_VALUE_INTEGER,
    EVENT_VALUE_REAL,
    EVENT_VALUE_BOOL,
    EVENT_VALUE_TEXT,
    EVENT_VALUE_NAMES, // text is "a,b,c", written as ["a","b","c"]
};

// One more member of an event: {"bytes", figures.bytes}, {"reason", "kicked"},
// {"seconds", 12.5}, {"active", true}, or event_names("fields", "enabled,url").
// key and text must live until emit_event returns.
struct event_value_t {
    const char *key;
    event_value_kind_t kind;
    int64_t integer = 0;
    double real = 0.0;
    const char *text = nullptr;

    template <typename T, typename std::enable_if<std::is_integral<T>::value, int>::type = 0>
    event_value_t(const char *name, T value)
        : key(name), kind(std::is_same<T, bool>::value ? EVENT_VALUE_BOOL : EVENT_VALUE_INTEGER),
          integer((int64_t)value)
    {
    }
    event_value_t(const char *name, double value) : key(name), kind(EVENT_VALUE_REAL), real(value)
    {
    }
    event_value_t(const char *name, const char *value)
        : key(name), kind(EVENT_VALUE_TEXT), text(value)
    {
    }
};
event_value_t event_names(const char *key, const char *comma_separated);

#define EVENT_STREAM_ID_MAX 512
// The longest JSON text of one event; one that would be longer loses its last members.
#define EVENT_TEXT_MAX 4096
// The event stream replays at most this many of the newest events.
#define EVENT_REPLAY_MAX 1000

/*
 * Records one event: its id (one more than the last), the UTC time with
 * milliseconds, the type, the scope's members that apply, then values in order.
 * Any thread, under any lock (g_events_lock comes after every lock of the
 * order in routing/registry.h and nothing is taken under it): it formats at
 * most EVENT_TEXT_MAX bytes on the stack, then copies them into the ring
 * under g_events_lock. It never waits for a reader, never logs and does no
 * I/O; once the ring has wrapped it allocates only for a text longer than
 * the one it replaces. O(values).
 *
 * How each event is made (values after the scope):
 *   route.created        {route}
 *   route.deleted        {route}
 *   route.changed        {route, target when a target}, {"change", "source" | "target" |
 *                        "target.added" | "target.deleted"}, event_names("fields", "mode,url")
 *                        (the settings that differ; never a value, so never a passphrase)
 *   source.connected     {route, -1, peer, stream_id}, {"active", is_the_forwarded_one}
 *   source.disconnected  {route, -1, peer, stream_id}, {"reason", "broken" | "kicked" | "closed"},
 *                        {"bytes", received}, {"loss", lost}, {"retransmissions", n},
 *                        {"drops", n}, {"seconds", connected_seconds}
 *   source.switched      {route, -1, new_peer, new_stream_id}, {"previous_peer", old_peer},
 *                        {"silent_ms", how long the old one was silent}
 *   target.connected     {route, target, peer, stream_id}, {"latency_ms", n}
 *   target.disconnected  {route, target, peer, stream_id}, {"reason", "broken" | "kicked" |
 *                        "closed"}, {"bytes", sent}, {"loss", n}, {"retransmissions", n},
 *                        {"drops", n}, {"seconds", connected_seconds}
 *   caller.refused       {route or -1, target or -1, peer, stream_id},
 *                        {"reason", refusal_reason_names[r]}, {"code", 1403}, {"port", port}
 *   auth.denied          {route, target or -1, peer, stream_id}, {"reason", text}, {"code", n}
 *   endpoint.open        {route, target or -1}, {"mode", "listen" | "caller" | "rendezvous"},
 *                        {"port", port}
 *   endpoint.retrying    {route, target or -1}, {"error", text}, {"retry_in_ms", wait}
 *   config.save_failed   {}, {"reason", strerror(errno)}, {"path", g_config_path}
 *   relay.started        {}, {"version", MIREVO_VERSION}
 *   relay.stopping       {}, {"exit_status", status}
 */
void emit_event(event_type_t type, const event_scope_t &scope,
                std::initializer_list<event_value_t> values = {});

/*
 * Sets the ring and the webhook's queue up afresh (events so far are
 * forgotten): the ring keeps the newest max(EVENT_REPLAY_MAX, queue_limit)
 * events; with webhook, undelivered events beyond queue_limit are dropped
 * oldest first and reported by one gap. Ids continue from first_id. Called at
 * start-up before the threads that emit, and by tests. Takes g_events_lock.
 */
void configure_events(size_t queue_limit, bool webhook, uint64_t first_id);
// The first id of a run that started at unix_seconds: ids keep growing across restarts.
uint64_t first_event_id(int64_t unix_seconds);

// The id of the newest event, first_id - 1 before any.
uint64_t newest_event_id(void);

/*
 * What the event stream sends after last_id, at most max_bytes of event texts
 * (at least one event when there is one): a gap first when events after
 * last_id are no longer kept, then the events in order. An id of another run
 * (above the newest, or below this run's first) is taken as "before this
 * run's first event". Takes g_events_lock; copies O(bytes).
 */
struct event_read_t {
    uint64_t gap_first = 0, gap_last = 0; // ids no longer kept; 0, 0: no gap
    std::vector<uint64_t> ids;
    std::vector<std::string> texts;
    uint64_t last_id = 0; // the last id returned, or the one before the next to send
};
void read_events_after(uint64_t last_id, size_t max_bytes, event_read_t &out);

// Where an event stream that last saw last_id starts: the id before the first
// event it is to be sent, with the ids it can no longer get in *gap_first and
// *gap_last (0, 0: none). Takes g_events_lock.
uint64_t event_stream_start(uint64_t last_id, uint64_t *gap_first, uint64_t *gap_last);

// {"type":"gap","time":"...","missed":N,"first_id":a,"last_id":b}; now_ms is the wall clock.
std::string format_gap_event(uint64_t first_id, uint64_t last_id, uint64_t now_ms);

/*
 * The webhook's next request: a JSON array of a gap (when events were
 * dropped) and at most max_events undelivered events. Ready once max_events
 * wait, or the oldest waited max_wait_ms (monotonic), or a gap waits, or
 * flush_events is waiting. Returns true with batch filled, false when nothing
 * is ready or the webhook is off. Takes g_events_lock.
 */
struct webhook_batch_t {
    std::string body;
    size_t events = 0;
    uint64_t last_id = 0;                 // of the last event in body
    uint64_t gap_first = 0, gap_last = 0; // the gap in body; 0, 0: none
};
bool take_webhook_batch(size_t max_events, uint64_t max_wait_ms, webhook_batch_t &batch);
// The receiver took batch: its events and its gap leave the queue.
void webhook_batch_delivered(const webhook_batch_t &batch);
// Waits until the webhook's queue is empty (batches go without waiting to fill),
// at most timeout_ms. Returns 0, or -1 when events still wait. Returns at once
// when the webhook is off. Any thread but the webhook's.
int flush_events(int timeout_ms);

// Figures for the metrics.
struct event_counts_t {
    uint64_t emitted[EVENT_TYPE_COUNT] = {};
    size_t webhook_queue = 0;     // undelivered events
    uint64_t webhook_dropped = 0; // dropped from a full queue since the start
};
void read_event_counts(event_counts_t &counts);
