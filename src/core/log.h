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

extern pthread_mutex_t log_lock;

// Writes one entry to standard output and to the day's file under g_log_dir.
// The text is written as it is (never used as a format). Takes log_lock, which
// is innermost under every other lock.
void log_message(int level, const char *text);

// Formats into a LOG_MESSAGE_SIZE buffer (cut, never overrun), then log_message.
void log_messagef(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Current UTC time in format 0..5 into the caller's buffer (TIME_TEXT_SIZE bytes);
// other numbers give "TIME_INVALID_FORMAT". Returns buf.
const char *format_time(int format, char *buf, size_t size);
// Current UTC time with any strftime format into the caller's buffer. Returns buf.
const char *format_time_custom(const char *format, char *buf, size_t size);

// Wall clock in whole milliseconds since the epoch.
uint64_t now_ms(void);

// The clock read by the logger and the time texts; tests replace it to cross midnight.
typedef time_t (*clock_source_t)(void);
void set_clock_source(clock_source_t source);
