// Fixed-size log-linear histogram of latencies in microseconds, for percentiles.
#pragma once

#include <cstdint>

// Values below 128 us are exact; above, each power of two is split into 64 steps
// (error under 1.6%). Covers up to 2^41 us. No allocation.
#define LATENCY_LINEAR_MAX 128
#define LATENCY_SUB_BUCKETS 64
#define LATENCY_MSB_MAX 40
#define LATENCY_BUCKETS (LATENCY_LINEAR_MAX + (LATENCY_MSB_MAX - 6) * LATENCY_SUB_BUCKETS)

struct latency_histogram_t {
    uint64_t counts[LATENCY_BUCKETS];
    uint64_t total;
    int64_t max_us;
};

void reset_histogram(latency_histogram_t &histogram);

// Adds one value; negative values count as 0. O(1).
void record_latency(latency_histogram_t &histogram, int64_t value_us);

// Adds every count of from into into. O(buckets).
void merge_histogram(latency_histogram_t &into, const latency_histogram_t &from);

// The value below which percent of the recorded values lie (the midpoint of the
// bucket holding that rank); 0 when nothing was recorded. O(buckets).
int64_t latency_percentile(const latency_histogram_t &histogram, double percent);
