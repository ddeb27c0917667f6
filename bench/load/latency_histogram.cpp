// Log-linear latency histogram: bucket mapping, merging and percentile lookup.
#include "latency_histogram.h"

#include <cmath>
#include <cstring>

void reset_histogram(latency_histogram_t &histogram)
{
    memset(&histogram, 0, sizeof histogram);
}

static int bucket_of(int64_t value)
{
    if (value < LATENCY_LINEAR_MAX)
        return (int)value;
    int msb = 63 - __builtin_clzll((uint64_t)value);
    if (msb > LATENCY_MSB_MAX)
        return LATENCY_BUCKETS - 1;
    int shift = msb - 6;
    int sub = (int)(value >> shift) - LATENCY_SUB_BUCKETS;
    return LATENCY_LINEAR_MAX + (msb - 7) * LATENCY_SUB_BUCKETS + sub;
}

static int64_t bucket_middle(int bucket)
{
    if (bucket < LATENCY_LINEAR_MAX)
        return bucket;
    int step = bucket - LATENCY_LINEAR_MAX;
    int msb = 7 + step / LATENCY_SUB_BUCKETS;
    int shift = msb - 6;
    int64_t low = (int64_t)(LATENCY_SUB_BUCKETS + step % LATENCY_SUB_BUCKETS) << shift;
    return low + ((int64_t)1 << shift) / 2;
}

void record_latency(latency_histogram_t &histogram, int64_t value_us)
{
    if (value_us < 0)
        value_us = 0;
    histogram.counts[bucket_of(value_us)]++;
    histogram.total++;
    if (value_us > histogram.max_us)
        histogram.max_us = value_us;
}

void merge_histogram(latency_histogram_t &into, const latency_histogram_t &from)
{
    for (int i = 0; i < LATENCY_BUCKETS; i++)
        into.counts[i] += from.counts[i];
    into.total += from.total;
    if (from.max_us > into.max_us)
        into.max_us = from.max_us;
}

int64_t latency_percentile(const latency_histogram_t &histogram, double percent)
{
    if (histogram.total == 0)
        return 0;
    uint64_t rank = (uint64_t)std::ceil(percent / 100.0 * (double)histogram.total);
    if (rank < 1)
        rank = 1;
    uint64_t seen = 0;
    for (int i = 0; i < LATENCY_BUCKETS; i++) {
        seen += histogram.counts[i];
        if (seen >= rank) {
            int64_t middle = bucket_middle(i);
            return middle > histogram.max_us ? histogram.max_us : middle;
        }
    }
    return histogram.max_us;
}
