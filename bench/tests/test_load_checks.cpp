// Checks of the load tool's sequence accounting. Damaged,
// dropped, doubled and swapped messages are checked end to end (test_load_tool.py).
#include <gtest/gtest.h>

#include <vector>

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
