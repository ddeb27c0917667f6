// Checks of the load tool's arithmetic: sequence accounting and percentiles. Damaged,
// dropped, doubled and swapped messages are checked end to end (test_load_tool.py).
#include <gtest/gtest.h>

#include <vector>

#include "latency_histogram.h"
#include "sequence_tracker.h"

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
