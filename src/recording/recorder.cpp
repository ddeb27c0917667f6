// A recording: messages queued by the fan-out, cut into MPEG-TS segment files by a writer.
#include "recording/recorder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "recording/ts_scan.h"

// About 4 s of a 5 Mbit/s stream; the slots' pages are taken only once used.
#define RING_SLOTS 2048
#define SLOT_BYTES 1500
// What the writer hands to the kernel per write.
#define WRITE_BUFFER_BYTES (64 * 1024)
#define WRITER_BUSY_WAIT_MS 20
#define WRITER_IDLE_WAIT_MS 200
#define RETENTION_EVERY_MS 60000
#define FREE_SPACE_EVERY_MS 5000
// After a failed write, a new segment is tried this often.
#define DISK_RETRY_MS 1000
// A queue that dropped nothing for this long ends its drop episode.
#define QUEUE_EPISODE_QUIET_MS 1000
#define SEGMENT_NAME_LENGTH 19 // "YYYYMMDD-HHMMSSZ.ts"

struct ring_slot_t {
    int64_t at_ms; // monotonic arrival
    uint32_t length;
    uint32_t after_gap; // messages before it were dropped by the full queue
    char data[SLOT_BYTES];
};

struct recording_t {
    int32_t route_id = 0;
    int32_t target_id = 0;
    recording_settings_t settings;
    ring_slot_t *slots = nullptr;
    std::atomic<uint64_t> head{0}; // written by the loop
    std::atomic<uint64_t> tail{0}; // written by the writer
    std::atomic<bool> stopping{false};
    int wake_fd = -1;
    bool gap_pending = false; // loop only
    std::atomic<int64_t> written{0};
    std::atomic<int64_t> segments{0};
    std::atomic<int64_t> dropped{0};
    std::atomic<int64_t> queue_drops{0};
    std::atomic<int64_t> free_bytes{-1};
};

// Writers that have not closed their segment for the way out.
static std::atomic<int> g_writers_running{0};
static std::atomic<bool> g_recordings_exiting{false};

static int64_t monotonic_now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The wall-clock time at which the monotonic time at_ms was.
static struct timespec wall_time_of(int64_t at_ms)
{
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    int64_t ms =
        (int64_t)wall.tv_sec * 1000 + wall.tv_nsec / 1000000 - (monotonic_now_ms() - at_ms);
    return {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000};
}

bool is_segment_name(const char *name, int64_t *start)
{
    if (strlen(name) != SEGMENT_NAME_LENGTH || strcmp(name + 16, ".ts") != 0 || name[8] != '-' ||
        name[15] != 'Z')
        return false;
    for (int i = 0; i < 15; i++)
        if (i != 8 && (name[i] < '0' || name[i] > '9'))
            return false;
    struct tm parts = {};
    if (sscanf(name, "%4d%2d%2d-%2d%2d%2d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
               &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6)
        return false;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    if (start != nullptr)
        *start = (int64_t)timegm(&parts);
    return true;
}

int apply_retention(const char *folder, int32_t keep_days, int64_t max_bytes, int64_t open_bytes,
                    int64_t now_seconds)
{
    if (keep_days <= 0 && max_bytes <= 0)
        return 0;
    DIR *dir = opendir(folder);
    if (dir == nullptr)
        return 0;
    struct segment_file_t {
        std::string name;
        int64_t bytes;
        int64_t modified;
    };
    std::vector<segment_file_t> files;
    while (struct dirent *entry = readdir(dir)) {
        struct stat info;
        if (!is_segment_name(entry->d_name) ||
            fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode))
            continue;
        files.push_back({entry->d_name, (int64_t)info.st_size, (int64_t)info.st_mtime});
    }
    // Names sort as their times: oldest first.
    std::sort(files.begin(), files.end(),
              [](const segment_file_t &a, const segment_file_t &b) { return a.name < b.name; });
    int64_t total = open_bytes;
    for (const segment_file_t &file : files)
        total += file.bytes;
    int removed = 0;
    for (const segment_file_t &file : files) {
        bool too_old = keep_days > 0 && now_seconds - file.modified > (int64_t)keep_days * 86400;
        bool too_many = max_bytes > 0 && total > max_bytes;
        if (!too_old && !too_many)
            continue;
        if (unlinkat(dirfd(dir), file.name.c_str(), 0) == 0) {
            total -= file.bytes;
            removed++;
        }
    }
    closedir(dir);
    if (removed > 0)
        log_messagef(LOG_LEVEL_INFO, "[recording] %s: retention removed %d segment(s)\n", folder,
                     removed);
    return removed;
}

// The writer's own state; only its thread touches it.
struct segment_writer_t {
    recording_t *recording = nullptr;
    ts_scan_t scan;
    int fd = -1;
    char name[SEGMENT_NAME_LENGTH + 1] = "";
    int64_t first_ms = 0; // monotonic arrival of the segment's first message
    int64_t file_bytes = 0;
    int64_t last_ms = 0; // monotonic arrival of the segment's last message
    std::vector<char> buffer;
    int buffered_messages = 0;
    // The last message, kept back one step: when it carries the tables that the
    // next message's random-access point needs, it opens the next segment.
    std::vector<char> held;
    int64_t held_at = 0;
    bool holding = false;
    bool held_pat = false;
    int64_t waiting_since = -1; // no segment open since (monotonic), -1 before the first message
    bool disk_failed = false;   // in a failing-disk episode
    int64_t disk_failed_at = 0;
    int64_t episode_drops = 0;
    int64_t last_retention = INT64_MIN / 2;
    int64_t started_ms = 0;
    int64_t last_free_space = INT64_MIN / 2;
    int64_t queue_drops_seen = 0;
    bool queue_episode = false;
    int64_t queue_episode_quiet_since = 0;
};

static void part_path(const segment_writer_t &writer, char *path, size_t size, bool part)
{
    snprintf(path, size, "%s/%s%s", writer.recording->settings.folder, writer.name,
             part ? ".part" : "");
}

static void count_dropped(segment_writer_t &writer, int64_t messages)
{
    writer.recording->dropped.fetch_add(messages, std::memory_order_relaxed);
    writer.episode_drops += messages;
}

// A disk failure: once per episode in the log.
static void enter_disk_failure(segment_writer_t &writer, const char *what, int error)
{
    writer.disk_failed_at = monotonic_now_ms();
    if (writer.disk_failed)
        return;
    writer.disk_failed = true;
    writer.episode_drops = 0;
    log_messagef(LOG_LEVEL_WARNING,
                 "[recording] %d->%d: %s in %s: %s; dropping until it can write again\n",
                 writer.recording->route_id, writer.recording->target_id, what,
                 writer.recording->settings.folder, strerror(error));
}

static void close_segment(segment_writer_t &writer);

// After a failing disk: the first write that goes through ends the episode.
static void note_disk_recovered(segment_writer_t &writer)
{
    if (!writer.disk_failed || writer.fd < 0)
        return;
    writer.disk_failed = false;
    log_messagef(LOG_LEVEL_WARNING,
                 "[recording] %d->%d: writing again in %s after %lld dropped messages\n",
                 writer.recording->route_id, writer.recording->target_id, writer.name,
                 (long long)writer.episode_drops);
}

// Hands the buffer to the kernel. A failed or short write is cut back to the
// last whole buffer, its messages counted dropped, and the segment closed.
static void flush_buffer(segment_writer_t &writer)
{
    if (writer.fd < 0 || writer.buffer.empty())
        return;
    size_t done = 0;
    int error = 0;
    while (done < writer.buffer.size()) {
        ssize_t wrote = write(writer.fd, writer.buffer.data() + done, writer.buffer.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : ENOSPC;
            break;
        }
        done += (size_t)wrote;
    }
    if (error == 0) {
        writer.file_bytes += (int64_t)done;
        writer.recording->written.fetch_add((int64_t)done, std::memory_order_relaxed);
        writer.buffer.clear();
        writer.buffered_messages = 0;
        note_disk_recovered(writer);
        return;
    }
    if (done > 0 && ftruncate(writer.fd, writer.file_bytes) != 0)
        error = errno;
    count_dropped(writer, writer.buffered_messages);
    writer.buffer.clear();
    writer.buffered_messages = 0;
    enter_disk_failure(writer, "writing failed", error);
    close_segment(writer);
}

static void append_message(segment_writer_t &writer, const char *data, size_t length, int64_t at_ms)
{
    if (writer.buffer.size() + length > WRITE_BUFFER_BYTES)
        flush_buffer(writer);
    if (writer.fd < 0) {
        count_dropped(writer, 1);
        return;
    }
    writer.buffer.insert(writer.buffer.end(), data, data + length);
    writer.buffered_messages++;
    writer.last_ms = at_ms;
}

// Closes the open segment: flushed, synced, renamed from .part. An empty one
// is removed. Then the writer waits for a point to open the next.
static void close_segment(segment_writer_t &writer)
{
    if (writer.fd < 0)
        return;
    flush_buffer(writer);
    if (writer.fd < 0) // the flush failed and closed it
        return;
    char part[PATH_MAX];
    char done[PATH_MAX];
    part_path(writer, part, sizeof part, true);
    part_path(writer, done, sizeof done, false);
    bool empty = writer.file_bytes == 0;
    // Its modification time is its last message's: the list's end, retention's age.
    struct timespec times[2] = {{0, UTIME_OMIT}, wall_time_of(writer.last_ms)};
    if (!empty)
        futimens(writer.fd, times);
    if (!empty && fdatasync(writer.fd) != 0)
        log_messagef(LOG_LEVEL_WARNING, "[recording] %s: fdatasync: %s\n", part, strerror(errno));
    close(writer.fd);
    writer.fd = -1;
    writer.waiting_since = monotonic_now_ms();
    if (empty) {
        unlink(part);
        return;
    }
    if (rename(part, done) != 0) {
        log_messagef(LOG_LEVEL_WARNING, "[recording] %s: rename: %s\n", part, strerror(errno));
        return;
    }
    writer.recording->segments.fetch_add(1, std::memory_order_relaxed);
    log_messagef(LOG_LEVEL_INFO, "[recording] %d->%d: segment %s closed, %lld bytes\n",
                 writer.recording->route_id, writer.recording->target_id, writer.name,
                 (long long)writer.file_bytes);
}

/*
 * Opens <name>.ts.part for a segment whose first message arrived at at_ms
 * (monotonic), named by that message's UTC second; a name taken (a segment
 * shorter than a second, or another recording in the folder) moves on a second.
 */
static bool open_segment(segment_writer_t &writer, int64_t at_ms)
{
    time_t first = wall_time_of(at_ms).tv_sec;
    for (int attempt = 0; attempt < 60; attempt++, first++) {
        struct tm parts;
        gmtime_r(&first, &parts);
        strftime(writer.name, sizeof writer.name, "%Y%m%d-%H%M%SZ.ts", &parts);
        char part[PATH_MAX];
        char done[PATH_MAX];
        part_path(writer, part, sizeof part, true);
        part_path(writer, done, sizeof done, false);
        if (access(done, F_OK) == 0)
            continue;
        int fd = open(part, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        char reason[256];
        // The folder is made here, off the event loop, and again if it went.
        if (fd < 0 && errno == ENOENT &&
            prepare_recording_folder(writer.recording->settings.folder, reason, sizeof reason) == 0)
            fd = open(part, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            enter_disk_failure(writer, "a segment cannot be opened", errno);
            return false;
        }
        writer.fd = fd;
        writer.first_ms = at_ms;
        writer.file_bytes = 0;
        return true;
    }
    enter_disk_failure(writer, "no free segment name", EEXIST);
    return false;
}

static void hold(segment_writer_t &writer, const char *data, size_t length, int64_t at_ms, bool pat)
{
    writer.held.assign(data, data + length);
    writer.held_at = at_ms;
    writer.held_pat = pat;
    writer.holding = true;
}

// The held message goes into the open segment (or, with none, is not recorded).
static void release_held(segment_writer_t &writer)
{
    if (!writer.holding)
        return;
    writer.holding = false;
    if (writer.fd >= 0)
        append_message(writer, writer.held.data(), writer.held.size(), writer.held_at);
    else if (writer.disk_failed)
        count_dropped(writer, 1);
}

/*
 * One message from the queue. A segment that has lasted its length closes at
 * the next random-access point (at twice its length at any message); the next
 * opens with that message, or with the message before when that one carries
 * the tables (PAT) the point needs. A gap from the full queue closes the
 * segment there. Cost: one scan and one copy.
 */
static void take_message(segment_writer_t &writer, const ring_slot_t &slot)
{
    const recording_settings_t &settings = writer.recording->settings;
    message_marks_t marks = scan_message(writer.scan, (const uint8_t *)slot.data, slot.length);
    bool point = marks.random_access >= 0;
    bool pat_inside = marks.pat >= 0 && marks.pat <= marks.random_access;
    bool held_opens = point && !pat_inside && writer.holding && writer.held_pat;
    int64_t length_ms = (int64_t)settings.segment_seconds * 1000;
    if (writer.waiting_since < 0)
        writer.waiting_since = slot.at_ms;
    if (slot.after_gap != 0 && writer.fd >= 0) {
        release_held(writer);
        close_segment(writer);
    }
    held_opens = held_opens && writer.holding;
    bool cut = false;
    if (writer.fd >= 0) {
        int64_t elapsed = slot.at_ms - writer.first_ms;
        cut = (elapsed >= length_ms && point) || elapsed >= 2 * length_ms;
        if (cut && !held_opens)
            release_held(writer);
        if (cut)
            close_segment(writer);
        else
            release_held(writer);
    }
    if (writer.fd < 0) {
        // A message that is not TS has no point to wait for.
        bool may_open =
            point || !marks.packets || slot.at_ms - writer.waiting_since >= 2 * length_ms;
        if (writer.disk_failed && monotonic_now_ms() - writer.disk_failed_at < DISK_RETRY_MS)
            may_open = false;
        if (may_open && !held_opens)
            release_held(writer); // not recorded: before the first point
        if (may_open && open_segment(writer, held_opens ? writer.held_at : slot.at_ms)) {
            release_held(writer);
        } else {
            release_held(writer);
        }
    }
    hold(writer, slot.data, slot.length, slot.at_ms, marks.pat >= 0);
}

// Takes everything queued. Returns the number of messages taken.
static int drain_queue(segment_writer_t &writer)
{
    recording_t &recording = *writer.recording;
    uint64_t tail = recording.tail.load(std::memory_order_relaxed);
    uint64_t head = recording.head.load(std::memory_order_acquire);
    int taken = 0;
    while (tail != head) {
        take_message(writer, recording.slots[tail % RING_SLOTS]);
        tail++;
        taken++;
        recording.tail.store(tail, std::memory_order_release);
        if (tail == head)
            head = recording.head.load(std::memory_order_acquire);
    }
    flush_buffer(writer);
    return taken;
}

// Once a second or so: free space, retention, the full queue's episodes.
static void look_around(segment_writer_t &writer, int64_t now)
{
    recording_t &recording = *writer.recording;
    if (now - writer.last_free_space >= FREE_SPACE_EVERY_MS) {
        writer.last_free_space = now;
        struct statvfs space;
        if (statvfs(recording.settings.folder, &space) == 0)
            recording.free_bytes.store((int64_t)space.f_bavail * (int64_t)space.f_frsize);
    }
    // The first pass comes with the first segment, or a minute after the start of a
    // recording that gets nothing to write.
    if (now - writer.last_retention >= RETENTION_EVERY_MS &&
        (writer.fd >= 0 || now - writer.started_ms >= RETENTION_EVERY_MS)) {
        writer.last_retention = now;
        apply_retention(recording.settings.folder, recording.settings.keep_days,
                        recording.settings.max_bytes, writer.file_bytes, (int64_t)time(nullptr));
    }
    int64_t drops = recording.queue_drops.load(std::memory_order_relaxed);
    if (drops != writer.queue_drops_seen) {
        if (!writer.queue_episode)
            log_messagef(LOG_LEVEL_WARNING,
                         "[recording] %d->%d: the disk does not keep up; dropping messages\n",
                         recording.route_id, recording.target_id);
        writer.queue_episode = true;
        writer.queue_episode_quiet_since = now;
    } else if (writer.queue_episode &&
               now - writer.queue_episode_quiet_since >= QUEUE_EPISODE_QUIET_MS) {
        writer.queue_episode = false;
        log_messagef(LOG_LEVEL_WARNING, "[recording] %d->%d: the disk keeps up again\n",
                     recording.route_id, recording.target_id);
    }
    writer.queue_drops_seen = drops;
}

static void free_recording(recording_t *recording)
{
    if (recording->wake_fd >= 0)
        close(recording->wake_fd);
    free(recording->slots);
    delete recording;
}

// Closes the segment with what is queued, for a stop or the way out.
static void finish(segment_writer_t &writer)
{
    drain_queue(writer);
    release_held(writer);
    close_segment(writer);
}

static void *writer_thread(void *argument)
{
    segment_writer_t writer;
    writer.recording = static_cast<recording_t *>(argument);
    writer.started_ms = monotonic_now_ms();
    writer.buffer.reserve(WRITE_BUFFER_BYTES);
    writer.held.reserve(SLOT_BYTES);
    recording_t &recording = *writer.recording;
    bool closed_for_exit = false;
    for (;;) {
        // Read before the drain: whatever was queued before the stop is written.
        bool stop = recording.stopping.load(std::memory_order_acquire);
        bool exiting = g_recordings_exiting.load();
        if (stop || (exiting && !closed_for_exit)) {
            if (!closed_for_exit) {
                finish(writer);
                g_writers_running.fetch_sub(1);
            }
            if (stop)
                break;
            closed_for_exit = true;
        }
        int taken = 0;
        if (closed_for_exit)
            recording.tail.store(recording.head.load(std::memory_order_acquire));
        else
            taken = drain_queue(writer);
        look_around(writer, monotonic_now_ms());
        struct pollfd wake = {recording.wake_fd, POLLIN, 0};
        if (poll(&wake, 1, taken > 0 ? WRITER_BUSY_WAIT_MS : WRITER_IDLE_WAIT_MS) > 0) {
            uint64_t count = 0;
            ssize_t ignored = read(recording.wake_fd, &count, sizeof count);
            (void)ignored;
        }
    }
    free_recording(writer.recording);
    return nullptr;
}

recording_t *start_recording(int32_t route_id, int32_t target_id,
                             const recording_settings_t &settings, char *reason, size_t size)
{
    recording_t *recording = new recording_t;
    recording->route_id = route_id;
    recording->target_id = target_id;
    recording->settings = settings;
    recording->slots = static_cast<ring_slot_t *>(calloc(RING_SLOTS, sizeof(ring_slot_t)));
    recording->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_t thread;
    int error = recording->slots == nullptr ? ENOMEM : 0;
    if (error == 0 && recording->wake_fd < 0)
        error = errno;
    g_writers_running.fetch_add(1);
    if (error == 0)
        error = pthread_create(&thread, nullptr, writer_thread, recording);
    if (error != 0) {
        g_writers_running.fetch_sub(1);
        snprintf(reason, size, "the recording's writer cannot start: %s", strerror(error));
        free_recording(recording);
        return nullptr;
    }
    char name[16];
    snprintf(name, sizeof name, "rec %d", target_id);
    pthread_setname_np(thread, name);
    pthread_detach(thread);
    return recording;
}

void record_message(recording_t &recording, const char *data, int length, int64_t now_ms)
{
    uint64_t head = recording.head.load(std::memory_order_relaxed);
    uint64_t tail = recording.tail.load(std::memory_order_acquire);
    if (head - tail >= RING_SLOTS || length <= 0 || length > SLOT_BYTES) {
        recording.dropped.fetch_add(1, std::memory_order_relaxed);
        recording.queue_drops.fetch_add(1, std::memory_order_relaxed);
        recording.gap_pending = true;
        return;
    }
    ring_slot_t &slot = recording.slots[head % RING_SLOTS];
    memcpy(slot.data, data, (size_t)length);
    slot.length = (uint32_t)length;
    slot.at_ms = now_ms;
    slot.after_gap = recording.gap_pending ? 1 : 0;
    recording.gap_pending = false;
    recording.head.store(head + 1, std::memory_order_release);
    if (head + 1 - tail == RING_SLOTS / 4) {
        uint64_t one = 1;
        ssize_t ignored = write(recording.wake_fd, &one, sizeof one);
        (void)ignored;
    }
}

void stop_recording(recording_t *recording)
{
    if (recording == nullptr)
        return;
    // The wake goes first: once stopping is seen the writer may free the
    // recording, so the store is the last touch of it here.
    uint64_t one = 1;
    ssize_t ignored = write(recording->wake_fd, &one, sizeof one);
    (void)ignored;
    recording->stopping.store(true, std::memory_order_release);
}

void read_recording_figures(const recording_t &recording, recording_figures_t &figures)
{
    figures.bytes_written = recording.written.load(std::memory_order_relaxed);
    figures.segments = recording.segments.load(std::memory_order_relaxed);
    figures.dropped = recording.dropped.load(std::memory_order_relaxed);
    figures.free_bytes = recording.free_bytes.load(std::memory_order_relaxed);
}

int close_all_recordings(int timeout_ms)
{
    g_recordings_exiting.store(true);
    int64_t deadline = monotonic_now_ms() + timeout_ms;
    while (g_writers_running.load() > 0 && monotonic_now_ms() < deadline) {
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return g_writers_running.load();
}
