// Preloaded into the relay: fsync of a staged route file waits MIREVO_TEST_FSYNC_DELAY_MS.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static bool syncs_staged_file(int fd)
{
    char link[64];
    char target[512];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    return strstr(target, ".saving-") != nullptr;
}

extern "C" int fsync(int fd)
{
    typedef int (*fsync_fn_t)(int);
    static fsync_fn_t real = (fsync_fn_t)dlsym(RTLD_NEXT, "fsync");
    const char *delay = getenv("MIREVO_TEST_FSYNC_DELAY_MS");
    if (delay != nullptr && syncs_staged_file(fd)) {
        const char *marker = getenv("MIREVO_TEST_FSYNC_MARKER");
        if (marker != nullptr)
            close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        usleep((useconds_t)atoi(delay) * 1000);
        if (marker != nullptr)
            unlink(marker);
    }
    return real(fd);
}
