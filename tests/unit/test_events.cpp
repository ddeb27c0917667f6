// Events: their text, the stream's replay and gaps, the webhook's queue, the edits that emit them.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "core/events.h"
#include "core/settings.h"
#include "routing/operations.h"
#include "srt/endpoint.h"
#include "testkit.h"

static const uint64_t FIRST = 5000001;

// Events after last_id, sorted keys, without id and (checked UTC ms) time; a gap first.
static std::vector<std::string> texts_after(uint64_t last_id)
{
    event_read_t read;
    read_events_after(last_id, 1 << 24, read);
    if (read.gap_first != 0)
        read.texts.insert(read.texts.begin(), format_gap_event(read.gap_first, read.gap_last, 0));
    std::vector<std::string> texts;
    for (const std::string &text : read.texts) {
        json_t *event = json_loads(text.c_str(), 0, nullptr);
        const char *time = json_string_value(json_object_get(event, "time"));
        EXPECT_TRUE(time != nullptr && strlen(time) == 24 && time[19] == '.' && time[23] == 'Z');
        json_object_del(event, "time");
        json_object_del(event, "id");
        char *dumped = json_dumps(event, JSON_SORT_KEYS | JSON_COMPACT);
        texts.push_back(dumped != nullptr ? dumped : "not JSON: " + text);
        free(dumped);
        json_decref(event);
    }
    return texts;
}

class EventsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        configure_events(EVENT_REPLAY_MAX, false, FIRST);
    }
    void TearDown() override
    {
        configure_events(EVENT_REPLAY_MAX, false, FIRST);
    }
};

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

// Events dropped while their batch was in flight were delivered: no gap for them.
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
    json_t *body = json_loads(next.body.c_str(), 0, nullptr);
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

// Each edit emits one event naming what changed, never a value; a refused edit emits none.
TEST_F(EventsTest, edits_emit_what_changed_and_refusals_emit_nothing)
{
    registry_sandbox_t sandbox;
    std::string secret_url =
        "srt://:" + std::to_string(free_udp_port()) + "?passphrase=hushhush-1234";
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

    std::vector<std::string> seen; // the edits' events; the listening target opens once
    int opened = 0;
    for (const std::string &text : texts_after(FIRST - 1)) {
        EXPECT_EQ(text.find("hush"), std::string::npos) << text;
        if (text.find("\"type\":\"endpoint.open\"") != std::string::npos)
            opened++;
        else
            seen.push_back(text);
    }
    EXPECT_EQ(opened, 1);
    std::string r = R"("route_id":)" + std::to_string(id), t = std::to_string(tid);
    auto changed = [&](const std::string &change, const std::string &fields, bool target) {
        return R"({"change":")" + change + R"(","fields":[)" + fields + "]," + r +
               (target ? R"(,"target_id":)" + t : "") + R"(,"type":"route.changed"})";
    };
    std::vector<std::string> expected = {
        "{" + r + R"(,"type":"route.created"})",       changed("target.added", "", true),
        changed("target", R"("enabled","url")", true), changed("target", R"("enabled")", true),
        changed("source", R"("mode","url")", false),   changed("target.deleted", "", true),
        "{" + r + R"(,"type":"route.deleted"})",
    };
    EXPECT_EQ(seen, expected);

    // A save the disk refuses: the failure is an event, the refused change is none.
    uint64_t before = newest_event_id();
    snprintf(g_config_path, sizeof g_config_path, "%s/missing/routes.json", sandbox.dir.c_str());
    EXPECT_EQ(create_route(), OPERATION_SAVE_FAILED);
    seen = texts_after(before);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0],
              R"({"path":")" + std::string(g_config_path) +
                  R"(","reason":"No such file or directory","type":"config.save_failed"})");
}
