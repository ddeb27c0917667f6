// Leveled logger: entries queue in memory and one writer thread takes them to the console and the
// day file.
#include "core/log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/settings.h"

// What an entry costs the queue beyond its text; g_log_queue_kb bounds the sum
// (by default a thousand subscribers' statistics lines for half a minute).
#define LOG_ENTRY_OVERHEAD 64

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

static const char *format_time_of(time_t when, const char *format, char *buf, size_t size)
{
    struct tm parts;
    if (size == 0)
        return buf;
    buf[0] = '\0';
    if (gmtime_r(&when, &parts) == nullptr || strftime(buf, size, format, &parts) == 0)
        buf[0] = '\0';
    return buf;
}

const char *format_time_custom(const char *format, char *buf, size_t size)
{
    return format_time_of(g_clock_source.load()(), format, buf, size);
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

uint64_t monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

int init_monotonic_cond(pthread_cond_t *cond)
{
    pthread_condattr_t monotonic;
    pthread_condattr_init(&monotonic);
    pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
    int result = pthread_cond_init(cond, &monotonic);
    pthread_condattr_destroy(&monotonic);
    return result;
}

struct timespec monotonic_deadline(int timeout_ms)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return until;
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

struct log_entry_t {
    int level;
    time_t when;
    bool console_only;
    std::string text; // escaped, ending in one line end
};

// All under log_lock. The writer swaps the pending list for its own and
// writes without the lock, so a producer waits only for a short copy.
// Never destroyed: the writer thread outlives main, and no exit may free what it uses.
static std::vector<log_entry_t> &g_pending = *new std::vector<log_entry_t>();
static size_t g_pending_bytes = 0;
static uint64_t g_queued = 0;  // entries accepted since the start
static uint64_t g_written = 0; // of those, entries written
static std::atomic<uint64_t> g_dropped{0};
static uint64_t g_dropped_reported = 0;
static pthread_cond_t g_writer_wake;
static pthread_cond_t g_entries_written;
static pthread_once_t g_writer_once = PTHREAD_ONCE_INIT;
static bool g_writer_running = false;

uint64_t log_lines_dropped(void)
{
    return g_dropped.load();
}

/*
 * The text as one line: control characters (from callers' stream ids, URLs,
 * file contents) become \xHH, so no text can forge an entry or move the
 * terminal; trailing line ends become exactly one.
 */
static void escape_line(const char *text, std::string &out)
{
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\n')
        length--;
    out.reserve(length + 1);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    out += '\n';
}

// Writes all of data, resuming after short writes. Returns 0, or -1 with errno
// set; *written then says how much went out (a torn line).
static int write_all(int fd, const char *data, size_t size, size_t *written = nullptr)
{
    if (written != nullptr)
        *written = 0;
    for (size_t done = 0; done < size;) {
        ssize_t wrote = write(fd, data + done, size - done);
        if (wrote == -1 && errno == EINTR)
            continue;
        if (wrote == -1 && errno == EAGAIN) {
            // A console someone made non-blocking: only the writer waits for it.
            struct pollfd ready = {fd, POLLOUT, 0};
            poll(&ready, 1, 1000);
            continue;
        }
        if (wrote == 0)
            errno = EIO;
        if (wrote <= 0)
            return -1;
        done += (size_t)wrote;
        if (written != nullptr)
            *written = done;
    }
    return 0;
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
 * before today; 0 keeps everything. No other file is touched. Writer thread.
 * O(files in the folder), once a day.
 */
static void remove_old_day_files(void)
{
    if (g_log_keep_days <= 0)
        return;
    time_t cutoff_time = g_clock_source.load()() - (time_t)g_log_keep_days * 86400;
    char cutoff[16];
    if (format_time_of(cutoff_time, "%Y%m%d", cutoff, sizeof cutoff)[0] == '\0')
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

// The day file the writer keeps open, and what it is on disk.
struct day_file_t {
    int fd = -1;
    char path[256] = "";
    dev_t device = 0;
    ino_t inode = 0;
    char last_day[TIME_TEXT_SIZE] = ""; // a new day (and the first entry) sweeps old files
    bool torn = false; // a failed write left part of a line: the next write ends it first
};
static day_file_t g_day_file;

/*
 * Entries the day file could not take (a full, missing or read-only folder).
 * The console still shows them; the count is reported in the day file once it
 * takes entries again. Written by the writer thread, read by the metrics.
 */
static std::atomic<uint64_t> g_write_failures{0};
// Writer thread only: the count already reported, and the last failure.
static uint64_t g_write_failures_reported = 0;
static int g_write_failure_error = 0;
static char g_write_failure_path[256] = "";

uint64_t log_write_failures(void)
{
    return g_write_failures.load();
}

/*
 * Appends one line to the day file of when. The file stays open; it is opened
 * again at a new day, when g_log_dir changes, and when the file at its path is
 * no longer the one open (removed or rotated by an outside tool). Returns 0, or
 * the errno of the open or write that failed (path then names the file).
 * Writer thread.
 */
static int append_day_file(time_t when, const char *entry, size_t size, char *path,
                           size_t path_size)
{
    day_file_t &file = g_day_file;
    char day[TIME_TEXT_SIZE];
    format_time_of(when, "%Y%m%d", day, sizeof day);
    int path_len = snprintf(path, path_size, "%s/mirevo-%s.log", g_log_dir, day);
    bool usable = path_len > 0 && path_len < (int)path_size && path_len < (int)sizeof file.path;
    struct stat on_disk;
    bool same = usable && file.fd != -1 && strcmp(path, file.path) == 0 &&
                stat(path, &on_disk) == 0 && on_disk.st_dev == file.device &&
                on_disk.st_ino == file.inode;
    if (!same) {
        if (file.fd != -1)
            close(file.fd);
        file.fd = -1;
        file.path[0] = '\0';
        // A torn line belongs to the file it was written to.
        file.torn = false;
        // Created private to the service and its group: traffic lines name peers.
        int fd = usable ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640) : -1;
        int error = usable ? errno : ENAMETOOLONG;
        struct stat opened;
        if (fd != -1 && fstat(fd, &opened) == 0) {
            file.fd = fd;
            snprintf(file.path, sizeof file.path, "%s", path);
            file.device = opened.st_dev;
            file.inode = opened.st_ino;
        } else if (fd != -1) {
            error = errno;
            close(fd);
        }
        if (file.fd == -1)
            return error != 0 ? error : EIO;
    }
    int result = 0;
    size_t written = 0;
    // The part of a line a failed write left is marked as such and ended.
    static const char cut_mark[] = " [cut]\n";
    if (file.torn && write_all(file.fd, cut_mark, sizeof cut_mark - 1) != 0) {
        result = errno;
    } else {
        file.torn = false;
        if (write_all(file.fd, entry, size, &written) != 0) {
            result = errno;
            file.torn = written > 0;
        }
    }
    // After the entry is written, so a new day's first entry waits for no sweep.
    if (strcmp(day, file.last_day) != 0) {
        snprintf(file.last_day, sizeof file.last_day, "%s", day);
        remove_old_day_files();
    }
    return result;
}

// "[stamp] tag text" as the day file holds it; text ends in its line end.
static std::string day_file_line(time_t when, const char *tag, const std::string &text)
{
    char stamp[TIME_TEXT_SIZE];
    format_time_of(when, time_formats[0], stamp, sizeof stamp);
    std::string line;
    line.reserve(text.size() + 64);
    line.append("[").append(stamp).append("] ").append(tag).append(" ").append(text);
    return line;
}

/*
 * Writes line to the day file of when and counts it when the file cannot take
 * it; the first failure after a good write says so once on the console. Before
 * the first line after failures, the count of lines lost goes into the file in
 * a line of its own, and to the console. Writer thread.
 */
static void write_day_file(time_t when, const std::string &line)
{
    char path[sizeof g_day_file.path];
    uint64_t failures = g_write_failures.load();
    if (failures != g_write_failures_reported) {
        char text[LOG_MESSAGE_SIZE];
        snprintf(text, sizeof text, "%llu log entries could not be written to %s (%s)\n",
                 (unsigned long long)(failures - g_write_failures_reported), g_write_failure_path,
                 strerror(g_write_failure_error));
        std::string report = day_file_line(when, "[WARNING] ", text);
        if (append_day_file(when, report.data(), report.size(), path, sizeof path) == 0) {
            g_write_failures_reported = failures;
            char stamp[TIME_TEXT_SIZE];
            format_time_of(when, time_formats[0], stamp, sizeof stamp);
            std::string shown = std::string("\x1b[2K\r[") + stamp + "] [WARNING] " + text;
            write_all(STDOUT_FILENO, shown.data(), shown.size());
        }
    }
    int error = append_day_file(when, line.data(), line.size(), path, sizeof path);
    if (error == 0)
        return;
    if (g_write_failures.load() == g_write_failures_reported) {
        char text[LOG_MESSAGE_SIZE];
        int length = snprintf(text, sizeof text,
                              "Log file %s cannot be written (%s): its entries are counted until "
                              "it can\n",
                              path, strerror(error));
        if (length > 0)
            write_all(STDOUT_FILENO, text,
                      (size_t)length < sizeof text ? (size_t)length : sizeof text - 1);
    }
    g_write_failure_error = error;
    snprintf(g_write_failure_path, sizeof g_write_failure_path, "%s", path);
    g_write_failures++;
}

// Writes one entry: the day file first, then the console. Writer thread.
static void write_entry(const log_entry_t &entry)
{
    if (entry.console_only) {
        write_all(STDOUT_FILENO, entry.text.data(), entry.text.size());
        return;
    }
    char tag_buf[32];
    const char *tag = level_tag(entry.level, tag_buf, sizeof tag_buf);
    char stamp[TIME_TEXT_SIZE];
    format_time_of(entry.when, time_formats[0], stamp, sizeof stamp);
    write_day_file(entry.when, day_file_line(entry.when, tag, entry.text));
    std::string line;
    line.assign("\x1b[2K\r[").append(stamp).append("] ").append(tag).append(entry.text);
    write_all(STDOUT_FILENO, line.data(), line.size());
}

static void *log_writer_thread(void *)
{
    std::vector<log_entry_t> batch;
    for (;;) {
        pthread_mutex_lock(&log_lock);
        while (g_pending.empty())
            pthread_cond_wait(&g_writer_wake, &log_lock);
        batch.swap(g_pending);
        g_pending_bytes = 0;
        pthread_mutex_unlock(&log_lock);

        for (const log_entry_t &entry : batch)
            write_entry(entry);

        pthread_mutex_lock(&log_lock);
        g_written += batch.size();
        uint64_t dropped = g_dropped.load();
        bool caught_up = g_pending.empty() && dropped != g_dropped_reported;
        uint64_t newly_dropped = dropped - g_dropped_reported;
        if (caught_up)
            g_dropped_reported = dropped;
        pthread_cond_broadcast(&g_entries_written);
        pthread_mutex_unlock(&log_lock);
        batch.clear();

        if (caught_up) {
            char text[LOG_MESSAGE_SIZE];
            snprintf(text, sizeof text,
                     "%llu log entries dropped: the console or the log folder could not keep up",
                     (unsigned long long)newly_dropped);
            log_entry_t report = {LOG_LEVEL_WARNING, g_clock_source.load()(), false, ""};
            escape_line(text, report.text);
            write_entry(report);
        }
    }
    return nullptr;
}

static void start_log_writer(void)
{
    pthread_cond_init(&g_writer_wake, nullptr);
    init_monotonic_cond(&g_entries_written);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, log_writer_thread, nullptr) != 0)
        return;
    pthread_setname_np(thread, "log");
    pthread_detach(thread);
    g_writer_running = true;
}

// Hands an entry to the writer, or drops and counts it when the queue is full.
// Without a writer (it could not be started) the entry is written at once.
static void queue_entry(log_entry_t &&entry)
{
    pthread_once(&g_writer_once, start_log_writer);
    pthread_mutex_lock(&log_lock);
    if (!g_writer_running) {
        write_entry(entry);
    } else if (g_pending_bytes + entry.text.size() + LOG_ENTRY_OVERHEAD >
               (size_t)g_log_queue_kb * 1024) {
        g_dropped++;
    } else {
        g_pending_bytes += entry.text.size() + LOG_ENTRY_OVERHEAD;
        g_pending.push_back(std::move(entry));
        g_queued++;
        pthread_cond_signal(&g_writer_wake);
    }
    pthread_mutex_unlock(&log_lock);
}

void log_message(int level, const char *text)
{
    log_entry_t entry = {level, g_clock_source.load()(), false, ""};
    escape_line(text, entry.text);
    queue_entry(std::move(entry));
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

void console_printf(const char *format, ...)
{
    char message[LOG_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_entry_t entry = {LOG_LEVEL_INFO, 0, true, ""};
    escape_line(message, entry.text);
    queue_entry(std::move(entry));
}

int flush_log(int timeout_ms)
{
    pthread_once(&g_writer_once, start_log_writer);
    struct timespec until = monotonic_deadline(timeout_ms);
    pthread_mutex_lock(&log_lock);
    uint64_t target = g_queued;
    int waited = 0;
    while (g_writer_running && g_written < target && waited == 0)
        waited = pthread_cond_timedwait(&g_entries_written, &log_lock, &until);
    bool done = !g_writer_running || g_written >= target;
    pthread_mutex_unlock(&log_lock);
    return done ? 0 : -1;
}
