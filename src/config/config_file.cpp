// The configuration file on disk: whole reads, atomic private writes, copies of unreadable files.
#include "config/config_file.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "core/log.h"

// Only a regular file is read: a folder opens, but nothing can be read from it.
char *read_config_file(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return nullptr;
    char *text = nullptr;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        size_t capacity = (size_t)info.st_size;
        text = static_cast<char *>(malloc(capacity + 1));
        size_t used = 0;
        while (text != nullptr && used < capacity) {
            ssize_t got = read(fd, text + used, capacity - used);
            if (got == -1 && errno == EINTR)
                continue;
            if (got == -1) {
                free(text);
                text = nullptr;
            }
            if (got <= 0)
                break;
            used += (size_t)got;
        }
        if (text != nullptr) {
            text[used] = '\0';
            *size = used;
        }
    }
    close(fd);
    return text;
}

static int write_all(int fd, const char *text, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t wrote = write(fd, text + done, size - done);
        if (wrote == -1 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return -1;
        done += (size_t)wrote;
    }
    return 0;
}

// The folder's entry for a renamed file reaches the disk only when the folder is synced.
static void sync_folder_of(const char *path)
{
    std::string copy(path);
    int fd = open(dirname(&copy[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return;
    fsync(fd);
    close(fd);
}

#define STAGED_SUFFIX ".saving-"
#define STAGED_RANDOM_LENGTH 6

// The staged file in flight, for the exit path on the signal thread; the name
// is guarded by g_staged_lock, the flag is read without it while waiting.
static pthread_mutex_t g_staged_lock = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<bool> g_staged_in_flight{false};
static char g_staged_in_flight_path[520];

static void set_in_flight(const char *temp_path)
{
    pthread_mutex_lock(&g_staged_lock);
    snprintf(g_staged_in_flight_path, sizeof g_staged_in_flight_path, "%s",
             temp_path != nullptr ? temp_path : "");
    g_staged_in_flight = temp_path != nullptr;
    pthread_mutex_unlock(&g_staged_lock);
}

static int fail_staged(staged_file_t &staged)
{
    int saved = errno;
    abandon_config_file(staged);
    errno = saved;
    return -1;
}

static int write_and_sync(int fd, const char *text, size_t size)
{
    return write_all(fd, text, size) == 0 && fsync(fd) == 0 ? 0 : -1;
}

int stage_config_file(const char *path, const char *text, size_t size, staged_file_t &staged)
{
    if (snprintf(staged.path, sizeof staged.path, "%s", path) >= (int)sizeof staged.path ||
        snprintf(staged.temp_path, sizeof staged.temp_path, "%s" STAGED_SUFFIX "XXXXXX", path) >=
            (int)sizeof staged.temp_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    staged.fd = mkstemp(staged.temp_path);
    if (staged.fd == -1) {
        staged.temp_path[0] = '\0';
        return -1;
    }
    set_in_flight(staged.temp_path);
    struct stat old;
    if (stat(path, &old) == 0) {
        // Keep what the operator set; the owner only changes when we may change it.
        if (fchmod(staged.fd, old.st_mode & 07777) == -1)
            return fail_staged(staged);
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(staged.fd, old.st_uid, old.st_gid) == -1 && errno != EPERM)
            return fail_staged(staged);
    }
    if (write_and_sync(staged.fd, text, size) != 0)
        return fail_staged(staged);
    return 0;
}

int restage_config_file(staged_file_t &staged, const char *text, size_t size)
{
    if (staged.fd == -1) {
        errno = EBADF;
        return -1;
    }
    if (ftruncate(staged.fd, 0) == -1 || lseek(staged.fd, 0, SEEK_SET) == -1 ||
        write_and_sync(staged.fd, text, size) != 0)
        return fail_staged(staged);
    return 0;
}

int commit_config_file(staged_file_t &staged)
{
    if (staged.fd == -1) {
        errno = EBADF;
        return -1;
    }
    int fd = staged.fd;
    staged.fd = -1;
    if (close(fd) == -1 || rename(staged.temp_path, staged.path) == -1)
        return fail_staged(staged);
    staged.temp_path[0] = '\0';
    set_in_flight(nullptr);
    sync_folder_of(staged.path);
    return 0;
}

void abandon_config_file(staged_file_t &staged)
{
    if (staged.fd != -1)
        close(staged.fd);
    staged.fd = -1;
    if (staged.temp_path[0] != '\0')
        unlink(staged.temp_path);
    staged.temp_path[0] = '\0';
    set_in_flight(nullptr);
}

int write_config_file(const char *path, const char *text, size_t size)
{
    staged_file_t staged;
    if (stage_config_file(path, text, size, staged) != 0)
        return -1;
    return commit_config_file(staged);
}

void finish_or_abandon_staged_file(int timeout_ms)
{
    for (int waited = 0; g_staged_in_flight && waited < timeout_ms; waited += 10)
        usleep(10 * 1000);
    pthread_mutex_lock(&g_staged_lock);
    if (g_staged_in_flight)
        unlink(g_staged_in_flight_path);
    pthread_mutex_unlock(&g_staged_lock);
}

// True for "<base>.saving-" followed by exactly the six characters mkstemp uses.
static bool is_staged_name(const char *name, const char *base)
{
    size_t base_length = strlen(base);
    size_t suffix_length = strlen(STAGED_SUFFIX);
    if (strlen(name) != base_length + suffix_length + STAGED_RANDOM_LENGTH ||
        strncmp(name, base, base_length) != 0 ||
        strncmp(name + base_length, STAGED_SUFFIX, suffix_length) != 0)
        return false;
    for (const char *c = name + base_length + suffix_length; *c != '\0'; c++)
        if (!isalnum((unsigned char)*c))
            return false;
    return true;
}

int remove_stale_staged_files(const char *path)
{
    std::string folder_copy(path);
    std::string base_copy(path);
    const char *folder = dirname(&folder_copy[0]);
    const char *base = basename(&base_copy[0]);
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd != -1 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd != -1)
            close(fd);
        return 0;
    }
    int removed = 0;
    while (struct dirent *entry = readdir(dir)) {
        struct stat info;
        if (!is_staged_name(entry->d_name, base) ||
            fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != geteuid())
            continue;
        if (unlinkat(fd, entry->d_name, 0) == 0)
            removed++;
    }
    closedir(dir);
    return removed;
}

int set_aside_config_file(const char *path, const char *text, size_t size, char *copy_path,
                          size_t copy_path_size)
{
    char stamp[TIME_TEXT_SIZE];
    format_time_custom("%Y%m%d-%H%M%S", stamp, sizeof stamp);
    for (int attempt = 1; attempt < 100; attempt++) {
        int length = attempt == 1 ? snprintf(copy_path, copy_path_size, "%s.bad-%s", path, stamp)
                                  : snprintf(copy_path, copy_path_size, "%s.bad-%s-%d", path, stamp,
                                             attempt);
        if (length < 0 || (size_t)length >= copy_path_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(copy_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd == -1 && errno == EEXIST)
            continue;
        if (fd == -1)
            return -1;
        int result = write_all(fd, text, size) == 0 && fsync(fd) == 0 ? 0 : -1;
        int saved = errno;
        close(fd);
        if (result == -1)
            unlink(copy_path);
        else
            sync_folder_of(copy_path);
        errno = saved;
        return result;
    }
    errno = EEXIST;
    return -1;
}
