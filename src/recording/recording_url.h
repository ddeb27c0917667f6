// The file:///<folder>?segment=&keep=&maxbytes= target URL and its folder.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#define RECORDING_SEGMENT_DEFAULT 60
#define RECORDING_SEGMENT_MIN 2
#define RECORDING_SEGMENT_MAX 3600
#define RECORDING_KEEP_MAX_DAYS 36500
// Room left in a path for "/YYYYMMDD-HHMMSSZ.ts.part".
#define RECORDING_FOLDER_SIZE (PATH_MAX - 32)

struct recording_settings_t {
    char folder[RECORDING_FOLDER_SIZE] = ""; // absolute, without a trailing '/'
    int32_t segment_seconds = RECORDING_SEGMENT_DEFAULT;
    int32_t keep_days = 0; // 0: kept for ever
    int64_t max_bytes = 0; // 0: no limit
};

// True for a URL of the file scheme ("file://", exactly).
bool is_recording_url(const char *url);

/*
 * Reads a file:// URL: an absolute folder (no "." or ".." part, no '%', no
 * control character), then the options segment (2..3600 s), keep (days, 0
 * keeps everything) and maxbytes (0 or more), each a whole number given once;
 * no other option. Returns 0, or -1 with the reason in reason. O(length).
 */
int parse_recording_url(const char *url, recording_settings_t &settings, char *reason, size_t size);

/*
 * Makes the folder (and missing parents) with mode 0750 when it is missing and
 * checks that it is a folder the relay can write. Returns 0, or -1 with the
 * reason. Touches the disk: never on the event loop.
 */
int prepare_recording_folder(const char *folder, char *reason, size_t size);
