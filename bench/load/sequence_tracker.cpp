// Loss, duplicate and reordering accounting over a bitmap of received sequence numbers.
#include "sequence_tracker.h"

static bool test_bit(const std::vector<uint64_t> &bits, uint64_t index)
{
    uint64_t word = index / 64;
    return word < bits.size() && (bits[word] >> (index % 64) & 1) != 0;
}

static void set_bit(std::vector<uint64_t> &bits, uint64_t index)
{
    uint64_t word = index / 64;
    if (word >= bits.size()) {
        size_t size = bits.empty() ? 1024 : bits.size();
        while (size <= word)
            size *= 2;
        bits.resize(size, 0);
    }
    bits[word] |= 1ULL << (index % 64);
}

int track_sequence(sequence_tracker_t &tracker, uint64_t seq)
{
    if (!tracker.started) {
        tracker.started = true;
        tracker.base = seq;
        tracker.highest = seq;
        set_bit(tracker.seen, 0);
        tracker.distinct = 1;
        return 0;
    }
    if (seq < tracker.base) {
        tracker.before_base++;
        return 0;
    }
    uint64_t offset = seq - tracker.base;
    if (offset >= SEQUENCE_SPAN_MAX)
        return -1;
    if (test_bit(tracker.seen, offset)) {
        tracker.duplicates++;
        return 0;
    }
    set_bit(tracker.seen, offset);
    tracker.distinct++;
    if (seq < tracker.highest)
        tracker.reordered++;
    else
        tracker.highest = seq;
    return 0;
}

uint64_t lost_count(const sequence_tracker_t &tracker)
{
    if (!tracker.started)
        return 0;
    return tracker.highest - tracker.base + 1 - tracker.distinct;
}

std::vector<std::pair<uint64_t, uint64_t>> received_ranges(const sequence_tracker_t &tracker,
                                                           size_t max_ranges, bool *truncated)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    *truncated = false;
    if (!tracker.started)
        return ranges;
    uint64_t span = tracker.highest - tracker.base + 1;
    uint64_t offset = 0;
    while (offset < span) {
        if (!test_bit(tracker.seen, offset)) {
            offset++;
            continue;
        }
        uint64_t first = offset;
        while (offset < span && test_bit(tracker.seen, offset))
            offset++;
        if (ranges.size() == max_ranges) {
            *truncated = true;
            break;
        }
        ranges.emplace_back(tracker.base + first, tracker.base + offset - 1);
    }
    return ranges;
}
