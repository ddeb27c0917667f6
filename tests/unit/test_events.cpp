// Events: their JSON text, the stream's replay and gaps, the webhook's queue, and the edits that emit them.
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "core/events.h"
#include "core/settings.h"
#include "http/webhook.h"
#include "routing/operations.h"
#include "srt/endpoint.h"
#include "testkit.h"

static const uint64_t FIRST = 5000001;

// The events after last_id as parsed JSON (caller releases each); the gap, if any, first.
static std::vector<json_t *> events_after(uint64_t last_id)
{
    event_read_t read;
    read_events_after(last_id, 1 << 24, read);
    std::vector<json_t *> events;
    if (read.gap_first != 0)
        events.push_back(json_loads(
            format_gap_event(read.gap_first, read.gap_last, 0).c_str(), 0, nullptr));
    for (const std::string &text : read.texts)
        events.push_back(json_loads(text.c_str(), 0, nullptr));
    return events;
}

static void release(std::vector<json_t *> &events)
{
    for (json_t *event : events)
        json_decref(event);
    events.clear();
}

// One emitted event, read back and dumped with sorted keys and without the time.
static std::string emitted_text(event_type_t type, const event_scope_t &scope,
                                std::initializer_list<event_value_t> values)
{
    uint64_t before = newest_event_id();
    emit_event(type, scope, values);
    std::vector<json_t *> events = events_after(before);
    if (events.size() != 1 || events[0] == nullptr) {
        release(events);
        return "not one JSON event";
    }
    const char *time = json_string_value(json_object_get(events[0], "time"));
    bool time_ok = time != nullptr && strlen(time) == 24 && time[10] == 'T' && time[19] == '.' &&
                   time[23] == 'Z';
    json_object_del(events[0], "time");
    json_object_del(events[0], "id");
    char *dumped = json_dumps(events[0], JSON_SORT_KEYS | JSON_COMPACT);
    std::string text = (time_ok ? "" : "bad time: ") + std::string(dumped);
    free(dumped);
    release(events);
    return text;
}

class EventsTest : public ::testing::Test
{
  protected:
    void SetUp() override { configure_events(EVENT_REPLAY_MAX, false, FIRST); }
    void TearDown() override { configure_events(EVENT_REPLAY_MAX, false, FIRST); }
};

TEST_F(EventsTest, texts_are_valid_json_whatever_a_peer_sends)
{
    std::string long_id(3000, 'x');
    struct {
        std::string text;
        std::string expected;
    } rows[] = {
        {emitted_text(EVENT_ROUTE_CREATED, {100}, {}), R"({"route_id":100,"type":"route.created"})"},
        {emitted_text(EVENT_TARGET_DISCONNECTED, {100, 1000, "127.0.0.1:5000", "cam\"1\\\n"},
                      {{"reason", "kicked"}, {"bytes", (int64_t)1 << 40}, {"seconds", 2.5}}),
         R"({"bytes":1099511627776,"peer":"127.0.0.1:5000","reason":"kicked","route_id":100,)"
         R"("seconds":2.5,"stream_id":"cam\"1\\\n","target_id":1000,"type":"target.disconnected"})"},
        // Bytes that are not UTF-8 become U+FFFD; valid sequences stay.
        {emitted_text(EVENT_CALLER_REFUSED, {-1, -1, nullptr, "a\xff\xc3\xa9\xed\xa0\x80"},
                      {{"code", 1403}, {"active", true}, {"rtt", 0.0 / 0.0}}),
         "{\"active\":true,\"code\":1403,\"rtt\":null,\"stream_id\":\"a\xef\xbf\xbd\xc3\xa9"
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"type\":\"caller.refused\"}"},
        {emitted_text(EVENT_ROUTE_CHANGED, {7}, {event_names("fields", "enabled,,url")}),
         R"({"fields":["enabled","url"],"route_id":7,"type":"route.changed"})"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.text, row.expected);

    // Too long: the values that do not fit are left out, the text stays JSON.
    uint64_t before = newest_event_id();
    const char *text = long_id.c_str();
    emit_event(EVENT_AUTH_DENIED, {1, 2, "p", text},
               {{"code", 7}, {"a", text}, {"b", text}, {"c", text}, {"d", text}, {"e", text},
                {"f", text}, {"g", text}, {"h", text}});
    std::vector<json_t *> events = events_after(before);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_NE(events[0], nullptr);
    EXPECT_EQ(json_string_length(json_object_get(events[0], "stream_id")),
              (size_t)EVENT_STREAM_ID_MAX);
    EXPECT_EQ(json_integer_value(json_object_get(events[0], "code")), 7);
    EXPECT_NE(json_object_get(events[0], "a"), nullptr);
    EXPECT_EQ(json_object_get(events[0], "h"), nullptr);
    release(events);
}

TEST_F(EventsTest, stream_replays_after_its_last_id_with_one_gap_for_what_left_the_ring)
{
    for (int i = 0; i < 1200; i++)
        emit_event(EVENT_ROUTE_CREATED, {i});
    uint64_t newest = newest_event_id();
    ASSERT_EQ(newest, FIRST + 1199);
    struct {
        uint64_t last_id;
        uint64_t gap_first, gap_last, first_sent;
    } rows[] = {
        {newest - 3, 0, 0, newest - 2},
        {newest, 0, 0, 0},
        {newest - 1000, 0, 0, newest - 999},
        {FIRST, FIRST + 1, newest - 1000, newest - 999},
        // Ids of another run, older or newer: this run from its start.
        {42, FIRST, newest - 1000, newest - 999},
        {newest + 5, FIRST, newest - 1000, newest - 999},
    };
    for (const auto &row : rows) {
        event_read_t read;
        read_events_after(row.last_id, 1 << 24, read);
        EXPECT_EQ(read.gap_first, row.gap_first) << row.last_id;
        EXPECT_EQ(read.gap_last, row.gap_last) << row.last_id;
        EXPECT_EQ(read.ids.empty() ? 0 : read.ids.front(), row.first_sent) << row.last_id;
        if (!read.ids.empty())
            EXPECT_EQ(read.ids.back(), newest);
        for (size_t i = 1; i < read.ids.size(); i++)
            ASSERT_EQ(read.ids[i], read.ids[i - 1] + 1);
        uint64_t gap_first = 9, gap_last = 9;
        uint64_t start = event_stream_start(row.last_id, &gap_first, &gap_last);
        EXPECT_EQ(gap_first, row.gap_first);
        EXPECT_EQ(start + 1, row.first_sent != 0 ? row.first_sent : newest + 1);
    }
    // A byte budget cuts the read after whole events, one at the least.
    event_read_t read;
    read_events_after(newest - 10, 1, read);
    EXPECT_EQ(read.ids.size(), 1u);
    EXPECT_EQ(read.last_id, newest - 9);
}

static json_t *parse_batch(const webhook_batch_t &batch)
{
    return json_loads(batch.body.c_str(), 0, nullptr);
}

TEST_F(EventsTest, full_queue_drops_the_oldest_and_the_next_batch_says_how_many)
{
    configure_events(50, true, FIRST);
    for (int i = 0; i < 200; i++)
        emit_event(EVENT_ROUTE_DELETED, {i});
    event_counts_t counts;
    read_event_counts(counts);
    EXPECT_EQ(counts.webhook_queue, 50u);
    EXPECT_EQ(counts.webhook_dropped, 150u);
    EXPECT_EQ(counts.emitted[EVENT_ROUTE_DELETED], 200u);

    webhook_batch_t batch;
    ASSERT_TRUE(take_webhook_batch(100, 60000, batch));
    json_t *body = parse_batch(batch);
    ASSERT_TRUE(json_is_array(body));
    ASSERT_EQ(json_array_size(body), 51u);
    json_t *gap = json_array_get(body, 0);
    EXPECT_STREQ(json_string_value(json_object_get(gap, "type")), "gap");
    EXPECT_EQ(json_integer_value(json_object_get(gap, "missed")), 150);
    EXPECT_EQ(json_integer_value(json_object_get(gap, "first_id")), (json_int_t)FIRST);
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(body, 1), "id")),
              (json_int_t)FIRST + 150);
    json_decref(body);

    // Not delivered: the same batch again. Delivered: nothing waits.
    webhook_batch_t again;
    ASSERT_TRUE(take_webhook_batch(100, 60000, again));
    EXPECT_EQ(again.body.substr(again.body.find("\"id\"")), batch.body.substr(batch.body.find("\"id\"")));
    webhook_batch_delivered(again);
    EXPECT_FALSE(take_webhook_batch(100, 0, batch));
    read_event_counts(counts);
    EXPECT_EQ(counts.webhook_queue, 0u);
}

// Events dropped from the queue while the batch holding them was on its way were
// delivered: they are not reported missing afterwards.
TEST_F(EventsTest, drops_of_events_in_flight_are_not_reported_as_a_gap)
{
    configure_events(10, true, FIRST);
    for (int i = 0; i < 10; i++)
        emit_event(EVENT_ROUTE_CREATED, {i});
    webhook_batch_t batch;
    ASSERT_TRUE(take_webhook_batch(100, 0, batch));
    EXPECT_EQ(batch.events, 10u);
    for (int i = 0; i < 15; i++)
        emit_event(EVENT_ROUTE_CREATED, {i});
    webhook_batch_delivered(batch);
    webhook_batch_t next;
    ASSERT_TRUE(take_webhook_batch(100, 0, next));
    json_t *body = parse_batch(next);
    ASSERT_TRUE(json_is_array(body));
    // 25 emitted, 10 delivered, 5 dropped after them: a gap of 5, then the newest 10.
    json_t *gap = json_array_get(body, 0);
    EXPECT_EQ(json_integer_value(json_object_get(gap, "missed")), 5);
    EXPECT_EQ(json_integer_value(json_object_get(gap, "first_id")), (json_int_t)FIRST + 10);
    EXPECT_EQ(json_array_size(body), 11u);
    json_decref(body);
}

TEST_F(EventsTest, a_batch_waits_to_fill_unless_full_or_old)
{
    configure_events(1000, true, FIRST);
    webhook_batch_t batch;
    EXPECT_FALSE(take_webhook_batch(3, 0, batch));
    emit_event(EVENT_RELAY_STARTED, {});
    EXPECT_FALSE(take_webhook_batch(3, 60000, batch));
    EXPECT_TRUE(take_webhook_batch(1, 60000, batch));
    EXPECT_TRUE(take_webhook_batch(3, 0, batch));
    configure_events(1000, false, FIRST);
    emit_event(EVENT_RELAY_STARTED, {});
    EXPECT_FALSE(take_webhook_batch(1, 0, batch)) << "no webhook, no batch";
}

TEST_F(EventsTest, concurrent_emitters_get_distinct_increasing_ids)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 250; i++)
                emit_event(EVENT_TARGET_CONNECTED, {t, i, "127.0.0.1:1"}, {{"latency_ms", 120}});
        });
    for (std::thread &thread : threads)
        thread.join();
    std::vector<json_t *> events = events_after(FIRST - 1);
    ASSERT_EQ(events.size(), 1000u);
    for (size_t i = 0; i < events.size(); i++)
        ASSERT_EQ(json_integer_value(json_object_get(events[i], "id")), (json_int_t)(FIRST + i));
    release(events);
}

TEST(webhook, signature_and_backoff)
{
    // RFC 4231, test case 2.
    EXPECT_EQ(sign_webhook_body("Jefe", "what do ya want for nothing?"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    std::vector<uint32_t> waits;
    uint32_t wait = 0;
    for (int i = 0; i < 9; i++)
        waits.push_back(wait = next_webhook_backoff(wait));
    EXPECT_EQ(waits, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000,
                                            60000}));
}

// Each edit emits one event naming what changed, never a value; a refused edit emits none.
TEST_F(EventsTest, edits_emit_what_changed_and_refusals_emit_nothing)
{
    registry_sandbox_t sandbox;
    int port = free_udp_port();
    std::string secret_url = "srt://:" + std::to_string(port) + "?passphrase=hushhushhush";
    std::string caller_url = "srt://127.0.0.1:" + std::to_string(free_udp_port());
    int32_t id = create_route();
    int32_t tid = add_target(id);
    ASSERT_EQ(update_target(id, tid, 1, CONN_MODE_LISTEN, secret_url.c_str()), 0);
    ASSERT_EQ(update_target(id, tid, 1, CONN_MODE_LISTEN, secret_url.c_str()), -1);
    ASSERT_EQ(enable_target(id, tid, 0), 0);
    ASSERT_EQ(update_source(id, 0, CONN_MODE_CALLER, caller_url.c_str()), 0);
    ASSERT_EQ(delete_target(id, tid), 0);
    ASSERT_EQ(delete_route(id + 1), -1);
    ASSERT_EQ(delete_route(id), 0);

    std::vector<std::string> seen;
    std::vector<json_t *> events = events_after(FIRST - 1);
    for (json_t *event : events) {
        char *text = json_dumps(event, JSON_COMPACT);
        EXPECT_EQ(std::string(text).find("hush"), std::string::npos) << text;
        free(text);
        json_object_del(event, "id");
        json_object_del(event, "time");
        text = json_dumps(event, JSON_COMPACT | JSON_SORT_KEYS);
        seen.push_back(text);
        free(text);
    }
    release(events);
    std::string r = std::to_string(id), t = std::to_string(tid);
    std::vector<std::string> expected = {
        R"({"route_id":)" + r + R"(,"type":"route.created"})",
        R"({"change":"target.added","fields":[],"route_id":)" + r + R"(,"target_id":)" + t +
            R"(,"type":"route.changed"})",
        R"({"change":"target","fields":["enabled","url"],"route_id":)" + r +
            R"(,"target_id":)" + t + R"(,"type":"route.changed"})",
        R"({"change":"target","fields":["enabled"],"route_id":)" + r + R"(,"target_id":)" + t +
            R"(,"type":"route.changed"})",
        R"({"change":"source","fields":["mode","url"],"route_id":)" + r +
            R"(,"type":"route.changed"})",
        R"({"change":"target.deleted","fields":[],"route_id":)" + r + R"(,"target_id":)" + t +
            R"(,"type":"route.changed"})",
        R"({"route_id":)" + r + R"(,"type":"route.deleted"})",
    };
    EXPECT_EQ(seen, expected);

    // A save the disk refuses: the failure is an event, the refused change is none.
    uint64_t before = newest_event_id();
    snprintf(g_config_path, sizeof g_config_path, "%s/missing/routes.json", sandbox.dir.c_str());
    EXPECT_EQ(create_route(), OPERATION_SAVE_FAILED);
    events = events_after(before);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_STREQ(json_string_value(json_object_get(events[0], "type")), "config.save_failed");
    EXPECT_STREQ(json_string_value(json_object_get(events[0], "reason")),
                 "No such file or directory");
    release(events);
}
