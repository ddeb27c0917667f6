// Per-connection bookkeeping of received sequence numbers: loss, duplicates, reordering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One receiving connection. The first sequence number seen is the base; every
// number from the base to the highest seen is expected exactly once.
struct sequence_tracker_t {
    bool started = false;
    uint64_t base = 0;
    uint64_t highest = 0;
    uint64_t distinct = 0;
    uint64_t duplicates = 0;
    uint64_t reordered = 0;     // arrived after a higher number
    uint64_t before_base = 0;   // older than the first one seen: a late, reordered message
    std::vector<uint64_t> seen; // bit (seq - base)
};

// Maximum distance from the base that is accepted; anything further is treated as
// a corrupt number by the caller (it would otherwise grow the bitmap without bound).
#define SEQUENCE_SPAN_MAX (1ULL << 32)

// Records one number. Returns 0, or -1 when seq is more than SEQUENCE_SPAN_MAX past
// the base (not recorded). Amortised O(1); the bitmap grows by doubling.
int track_sequence(sequence_tracker_t &tracker, uint64_t seq);

// Numbers between the base and the highest seen that never arrived.
uint64_t lost_count(const sequence_tracker_t &tracker);

// The received numbers as closed ranges [first, last], ascending. At most
// max_ranges are returned; *truncated says whether more existed. O(span).
std::vector<std::pair<uint64_t, uint64_t>> received_ranges(const sequence_tracker_t &tracker,
                                                           size_t max_ranges, bool *truncated);
