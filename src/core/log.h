// Leveled logger (console and day file) and the UTC time texts.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

enum {
    LOG_LEVEL_ERR = 3,
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_INFO = 6,
    LOG_LEVEL_DEBUG = 7,
    LOG_LEVEL_STATS = 128,
};

// Callers format a message into a buffer of this size first.
#define LOG_MESSAGE_SIZE 1500
// A formatted time holds at most 49 characters.
#define TIME_TEXT_SIZE 50

// Guards the queue of entries waiting for the writer; innermost under every other lock.
extern pthread_mutex_t log_lock;

/*
 * Queues one entry for the console and the day's file under g_log_dir and
 * returns at once: one writer thread writes entries in order, so no caller
 * (a lock holder, a libsrt callback) ever waits for the console or the disk.
 * The text is never used as a format. Control characters in it are escaped
 * (\xHH) and it ends in exactly one line end, so an entry is one line however
 * the caller formed it. When the queue is full the entry is dropped and
 * counted; the writer reports the count in one line once it catches up.
 */
void log_message(int level, const char *text);

// Formats into a LOG_MESSAGE_SIZE buffer (cut, never overrun), then log_message.
void log_messagef(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A line for the console only (no stamp, no day file), queued like a log entry
// and written in order with them. Escaped and ended like log_message.
void console_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Waits until every entry queued before the call is written, at most
// timeout_ms. Returns 0, or -1 when the writer is still behind.
int flush_log(int timeout_ms);

// Entries dropped because the queue was full, since the start.
uint64_t log_lines_dropped(void);
// Entries the day file could not take (full, missing or read-only log folder),
// since the start; each was still shown on the console.
uint64_t log_write_failures(void);

// Current UTC time in format 0..5 into the caller's buffer (TIME_TEXT_SIZE bytes);
// other numbers give "TIME_INVALID_FORMAT". Returns buf.
const char *format_time(int format, char *buf, size_t size);
// Current UTC time with any strftime format into the caller's buffer. Returns buf.
const char *format_time_custom(const char *format, char *buf, size_t size);

// Wall clock in whole milliseconds since the epoch.
uint64_t now_ms(void);
// Monotonic clock in milliseconds, for waits and back-off.
uint64_t monotonic_ms(void);
// The monotonic time timeout_ms from now, for a condition made on CLOCK_MONOTONIC.
struct timespec monotonic_deadline(int timeout_ms);
// A condition whose timed waits take monotonic_deadline's times; pthread_cond_init's result.
int init_monotonic_cond(pthread_cond_t *cond);

// The clock read by the logger and the time texts; tests replace it to cross midnight.
typedef time_t (*clock_source_t)(void);
void set_clock_source(clock_source_t source);
