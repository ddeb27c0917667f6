// Leveled logger: one console write and one append to the day file per message.
#include "core/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

#include "core/settings.h"

pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

static time_t system_clock(void)
{
    return time(nullptr);
}

static std::atomic<clock_source_t> g_clock_source{system_clock};

void set_clock_source(clock_source_t source)
{
    g_clock_source.store(source ? source : system_clock);
}

static const char *const time_formats[] = {
    "%Y.%m.%d %H:%M:%S", "%Y.%m.%d", "%H:%M:%S", "%Y%m%d %H%M%S", "%Y%m%d", "%H%M%S",
};

const char *format_time_custom(const char *format, char *buf, size_t size)
{
    time_t now = g_clock_source.load()();
    struct tm parts;
    if (size == 0)
        return buf;
    buf[0] = '\0';
    if (gmtime_r(&now, &parts) == nullptr || strftime(buf, size, format, &parts) == 0)
        buf[0] = '\0';
    return buf;
}

const char *format_time(int format, char *buf, size_t size)
{
    if (format < 0 || format > 5) {
        snprintf(buf, size, "%s", "TIME_INVALID_FORMAT");
        return buf;
    }
    return format_time_custom(time_formats[format], buf, size);
}

uint64_t now_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000u + (uint64_t)tv.tv_usec / 1000u;
}

// The tag lives in the caller's buffer so threads never share it.
static const char *level_tag(int level, char *buf, size_t size)
{
    switch (level) {
    case LOG_LEVEL_ERR:
        return "[ERR] ";
    case LOG_LEVEL_WARNING:
        return "[WARNING] ";
    case LOG_LEVEL_INFO:
    case LOG_LEVEL_STATS:
        return "";
    case LOG_LEVEL_DEBUG:
        return "[DEBUG] ";
    default:
        snprintf(buf, size, "[LVL%d] ", level);
        return buf;
    }
}

// True for "mirevo-YYYYMMDD.log" exactly, with its date in day (9 bytes).
static bool is_day_file(const char *name, char *day)
{
    if (strlen(name) != 19 || strncmp(name, "mirevo-", 7) != 0 || strcmp(name + 15, ".log") != 0)
        return false;
    for (int i = 0; i < 8; i++) {
        if (name[7 + i] < '0' || name[7 + i] > '9')
            return false;
        day[i] = name[7 + i];
    }
    day[8] = '\0';
    return true;
}

/*
 * Removes the day files of g_log_dir dated more than g_log_keep_days days
 * before today; 0 keeps everything. No other file is touched. Caller holds
 * log_lock. O(files in the folder), once a day.
 */
static void remove_old_day_files(void)
{
    if (g_log_keep_days <= 0)
        return;
    time_t cutoff_time = g_clock_source.load()() - (time_t)g_log_keep_days * 86400;
    struct tm parts;
    char cutoff[16];
    if (gmtime_r(&cutoff_time, &parts) == nullptr ||
        strftime(cutoff, sizeof cutoff, "%Y%m%d", &parts) == 0)
        return;
    DIR *dir = opendir(g_log_dir);
    if (dir == nullptr)
        return;
    while (struct dirent *entry = readdir(dir)) {
        char day[9];
        if (!is_day_file(entry->d_name, day) || strcmp(day, cutoff) >= 0)
            continue;
        char path[sizeof g_log_dir + 32];
        if (snprintf(path, sizeof path, "%s/%s", g_log_dir, entry->d_name) < (int)sizeof path)
            unlink(path);
    }
    closedir(dir);
}

// The day of the last entry; a new day (and the first entry) sweeps old files.
static char g_last_day[TIME_TEXT_SIZE] = "";

void log_message(int level, const char *text)
{
    char tag_buf[32];
    const char *tag = level_tag(level, tag_buf, sizeof tag_buf);
    char stamp[TIME_TEXT_SIZE];
    char day[TIME_TEXT_SIZE];
    char path[256];

    pthread_mutex_lock(&log_lock);
    fprintf(stdout, "\x1b[2K\r[%s] %s%s", format_time(0, stamp, sizeof stamp), tag, text);
    fflush(stdout);

    format_time_custom("%Y%m%d", day, sizeof day);
    int path_len = snprintf(path, sizeof path, "%s/mirevo-%s.log", g_log_dir, day);
    // Created private to the service and its group: traffic lines name peers.
    int fd = path_len < (int)sizeof path
                 ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640)
                 : -1;
    FILE *file = fd != -1 ? fdopen(fd, "a") : nullptr;
    if (fd != -1 && file == nullptr)
        close(fd);
    // A missing or unwritable folder costs the file entry only.
    if (file != nullptr) {
        fprintf(file, "[%s] %s %s", format_time(0, stamp, sizeof stamp), tag, text);
        fclose(file);
    }
    // After the entry is written, so a new day's first entry waits for no sweep.
    if (strcmp(day, g_last_day) != 0) {
        snprintf(g_last_day, sizeof g_last_day, "%s", day);
        remove_old_day_files();
    }
    pthread_mutex_unlock(&log_lock);
}

void log_messagef(int level, const char *format, ...)
{
    char message[LOG_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_message(level, message);
}
