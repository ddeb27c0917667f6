// The configuration file on disk: whole reads, atomic private writes, copies of unreadable files.
#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

int write_config_file(const char *path, const char *text, size_t size)
{
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd == -1)
        return -1;
    int result = -1;
    struct stat old;
    if (stat(path, &old) == 0) {
        // Keep what the operator set; the owner only changes when we may change it.
        if (fchmod(fd, old.st_mode & 07777) == -1)
            goto out;
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(fd, old.st_uid, old.st_gid) == -1 && errno != EPERM)
            goto out;
    }
    if (write_all(fd, text, size) == -1 || fsync(fd) == -1)
        goto out;
    if (close(fd) == -1) {
        fd = -1;
        goto out;
    }
    fd = -1;
    if (rename(temp.c_str(), path) == -1)
        goto out;
    sync_folder_of(path);
    result = 0;
out:
    if (result == -1) {
        int saved = errno;
        if (fd != -1)
            close(fd);
        unlink(temp.c_str());
        errno = saved;
    }
    return result;
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
