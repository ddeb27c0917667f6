// Traffic statistics: the per-second pass and the lookup of one endpoint's figures.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Writes "%.1f%s" for a byte count with the unit B, KB, MB or GB.
void format_byte_figure(int64_t bytes, char *buf, size_t size);

// Folds the byte counters of every connection, refreshes the SRT statistics and
// logs one "[STATS" line per target connection (one for a target without any).
// Caller holds g_routes_lock, then stat_lock. Cost: linear in connections.
void print_route_stats(float elapsed_seconds);

// Figures of a route's source (target_id -1) or of one target. Returns 1 and fills
// the outputs when found, else 0. Caller is the management thread.
int get_endpoint_stats(int route_id, int target_id, int *subscribers, int *pkt_loss_total,
                       int *pkt_loss, float *ms_rtt);
