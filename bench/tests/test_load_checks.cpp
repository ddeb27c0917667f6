// Checks of the load tool's verdicts: message corruption, sequence accounting, percentiles.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "latency_histogram.h"
#include "message.h"
#include "sequence_tracker.h"

TEST(message, round_trip_returns_embedded_values)
{
    unsigned char buffer[LOAD_MESSAGE_SIZE];
    write_message(buffer, 123456789012ULL, 987654321);
    uint64_t seq = 0;
    int64_t send_ns = 0;
    ASSERT_EQ(read_message(buffer, sizeof buffer, &seq, &send_ns), MESSAGE_OK);
    EXPECT_EQ(seq, 123456789012ULL);
    EXPECT_EQ(send_ns, 987654321);
}

// Each kind of damage a relay could do to a message must be reported as such.
TEST(message, damaged_messages_are_rejected)
{
    struct damage_case_t {
        const char *name;
        void (*damage)(unsigned char *buffer);
        size_t length;
        message_status_t expected;
    };
    static const damage_case_t cases[] = {
        {"truncated", [](unsigned char *) {}, LOAD_MESSAGE_SIZE - 1, MESSAGE_BAD_LENGTH},
        {"magic", [](unsigned char *b) { b[0] = 'X'; }, LOAD_MESSAGE_SIZE, MESSAGE_BAD_MAGIC},
        {"last fill byte", [](unsigned char *b) { b[LOAD_MESSAGE_SIZE - 1] ^= 1; },
         LOAD_MESSAGE_SIZE, MESSAGE_BAD_FILL},
        {"first fill byte", [](unsigned char *b) { b[LOAD_HEADER_SIZE] ^= 0x80; },
         LOAD_MESSAGE_SIZE, MESSAGE_BAD_FILL},
        {"sequence number", [](unsigned char *b) { b[4] ^= 1; }, LOAD_MESSAGE_SIZE,
         MESSAGE_BAD_FILL},
        {"fill of another message",
         [](unsigned char *b) {
             unsigned char other[LOAD_MESSAGE_SIZE];
             write_message(other, 8, 0);
             memcpy(b + LOAD_HEADER_SIZE, other + LOAD_HEADER_SIZE,
                    LOAD_MESSAGE_SIZE - LOAD_HEADER_SIZE);
         },
         LOAD_MESSAGE_SIZE, MESSAGE_BAD_FILL},
    };
    for (const damage_case_t &c : cases) {
        unsigned char buffer[LOAD_MESSAGE_SIZE];
        write_message(buffer, 7, 100);
        c.damage(buffer);
        uint64_t seq = 99;
        int64_t send_ns = 99;
        EXPECT_EQ(read_message(buffer, c.length, &seq, &send_ns), c.expected) << c.name;
        EXPECT_EQ(seq, 99u) << c.name;
    }
}

// Arrival orders and the verdict the subscriber must reach for each.
TEST(sequence_tracker, arrival_orders_give_expected_counts)
{
    struct order_case_t {
        const char *name;
        std::vector<uint64_t> arrivals;
        uint64_t distinct, lost, duplicates, reordered, before_base;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
    };
    const std::vector<order_case_t> cases = {
        {"in order", {5, 6, 7, 8}, 4, 0, 0, 0, 0, {{5, 8}}},
        {"gap", {0, 1, 4, 5}, 4, 2, 0, 0, 0, {{0, 1}, {4, 5}}},
        {"duplicate", {0, 1, 1, 2}, 3, 0, 1, 0, 0, {{0, 2}}},
        {"swap fills the gap", {0, 2, 1, 3}, 4, 0, 0, 1, 0, {{0, 3}}},
        {"late duplicate after reorder", {0, 2, 1, 2, 1}, 3, 0, 2, 1, 0, {{0, 2}}},
        {"older than first", {10, 9, 11}, 2, 0, 0, 0, 1, {{10, 11}}},
        {"trailing loss is unseen", {0, 1}, 2, 0, 0, 0, 0, {{0, 1}}},
        {"crosses a bitmap word",
         {60, 61, 62, 63, 64, 65, 130},
         7,
         64,
         0,
         0,
         0,
         {{60, 65}, {130, 130}}},
    };
    for (const order_case_t &c : cases) {
        sequence_tracker_t tracker;
        for (uint64_t seq : c.arrivals)
            ASSERT_EQ(track_sequence(tracker, seq), 0) << c.name;
        EXPECT_EQ(tracker.distinct, c.distinct) << c.name;
        EXPECT_EQ(lost_count(tracker), c.lost) << c.name;
        EXPECT_EQ(tracker.duplicates, c.duplicates) << c.name;
        EXPECT_EQ(tracker.reordered, c.reordered) << c.name;
        EXPECT_EQ(tracker.before_base, c.before_base) << c.name;
        bool truncated = true;
        EXPECT_EQ(received_ranges(tracker, 100, &truncated), c.ranges) << c.name;
        EXPECT_FALSE(truncated) << c.name;
    }
}

TEST(sequence_tracker, absurd_jump_is_refused_and_not_recorded)
{
    sequence_tracker_t tracker;
    ASSERT_EQ(track_sequence(tracker, 1), 0);
    EXPECT_EQ(track_sequence(tracker, 1 + SEQUENCE_SPAN_MAX), -1);
    EXPECT_EQ(tracker.highest, 1u);
    EXPECT_EQ(lost_count(tracker), 0u);
}

TEST(sequence_tracker, ranges_stop_at_the_limit_and_say_so)
{
    sequence_tracker_t tracker;
    for (uint64_t seq = 0; seq < 20; seq += 2)
        track_sequence(tracker, seq);
    bool truncated = false;
    EXPECT_EQ(received_ranges(tracker, 3, &truncated).size(), 3u);
    EXPECT_TRUE(truncated);
}

// Percentiles must land within the histogram's stated precision of the true value.
TEST(latency_histogram, percentiles_are_within_precision)
{
    struct percentile_case_t {
        const char *name;
        std::vector<int64_t> values;
        double percent;
        int64_t expected;
    };
    std::vector<int64_t> ramp;
    for (int64_t v = 1; v <= 1000; v++)
        ramp.push_back(v * 1000); // 1 ms .. 1 s
    const std::vector<percentile_case_t> cases = {
        {"empty", {}, 50, 0},
        {"single exact small", {42}, 50, 42},
        {"negative counts as zero", {-5}, 99, 0},
        {"ramp median", ramp, 50, 500000},
        {"ramp p99", ramp, 99, 990000},
        {"outlier sets p100 only", {100, 100, 100, 5000000}, 75, 100},
        {"max caps the bucket middle", {200000}, 100, 200000},
    };
    for (const percentile_case_t &c : cases) {
        latency_histogram_t histogram;
        reset_histogram(histogram);
        for (int64_t v : c.values)
            record_latency(histogram, v);
        int64_t got = latency_percentile(histogram, c.percent);
        int64_t tolerance = c.expected / 64 + 1;
        EXPECT_NEAR((double)got, (double)c.expected, (double)tolerance) << c.name;
    }
}

TEST(latency_histogram, merge_equals_recording_everything_in_one)
{
    latency_histogram_t a, b, both;
    reset_histogram(a);
    reset_histogram(b);
    reset_histogram(both);
    for (int64_t v = 0; v < 3000; v += 7) {
        record_latency(v % 2 == 0 ? a : b, v * 13);
        record_latency(both, v * 13);
    }
    merge_histogram(a, b);
    EXPECT_EQ(a.total, both.total);
    EXPECT_EQ(a.max_us, both.max_us);
    for (double p : {1.0, 50.0, 90.0, 99.0, 99.9})
        EXPECT_EQ(latency_percentile(a, p), latency_percentile(both, p)) << p;
}
