// A recording: messages queued by the fan-out, cut into MPEG-TS segment files by a writer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "recording/recording_url.h"

/*
 * One recording per open file:// target. The event loop only copies each
 * message into the recording's ring (bounded, preallocated, single producer,
 * single consumer, no lock); the recording's own writer thread writes the
 * files. One writer per recording rather than one for all: a folder on a slow
 * or hung disk (a network share, a failing drive) then stalls and drops only
 * its own recording, and the fdatasync at each segment's close never holds up
 * the others. A writer waits on its eventfd and a short timer, never in libsrt.
 *
 * Files: <folder>/YYYYMMDD-HHMMSSZ.ts, named by the UTC time of the first
 * message, written as <name>.ts.part and renamed once closed and flushed.
 */
struct recording_t;

struct recording_figures_t {
    int64_t bytes_written = 0; // into segment files, since the recording started
    int64_t segments = 0;      // segments closed
    int64_t dropped = 0;       // messages not recorded: a full queue or a failing disk
    int64_t free_bytes = -1;   // free space of the folder for the relay, -1 until known
};

// Starts a recording and its writer. Returns it, or nullptr with the reason.
recording_t *start_recording(int32_t route_id, int32_t target_id,
                             const recording_settings_t &settings, char *reason, size_t size);

/*
 * Queues one message (loop thread only, the recording's single producer). A
 * full queue drops the message and counts it; the writer closes the segment at
 * the gap. Cost: one copy of length bytes, no allocation, no lock, no log; a
 * write to the eventfd only when the queue reaches a quarter full.
 */
void record_message(recording_t &recording, const char *data, int length, int64_t now_ms);

// Asks the writer to write what is queued, close the open segment and end;
// returns at once, the writer frees the recording. The caller has taken it off
// the fan-out first.
void stop_recording(recording_t *recording);

// The figures, read without a lock (each a single atomic word).
void read_recording_figures(const recording_t &recording, recording_figures_t &figures);

// On the way out: every writer writes what is queued and closes its segment.
// Waits up to timeout_ms. Returns the number of writers that had not finished.
int close_all_recordings(int timeout_ms);

// True for a segment file name "YYYYMMDD-HHMMSSZ.ts"; start gets its time (UTC).
bool is_segment_name(const char *name, int64_t *start = nullptr);

/*
 * Removes closed segments (files named as segments, no ".part") of folder
 * older than keep_days (by modification time; 0 keeps all), then the oldest
 * ones while the segments and the open file (open_bytes) together hold more
 * than max_bytes (0: no limit). Never a file of another name. Returns the number
 * removed. Touches the disk: writer threads only.
 */
int apply_retention(const char *folder, int32_t keep_days, int64_t max_bytes, int64_t open_bytes,
                    int64_t now_seconds);
