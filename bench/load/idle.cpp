// "idle": threads waiting in SRT epolls on listeners nobody calls, the idle cost floor.
#include "idle.h"

#include <cstdio>
#include <pthread.h>
#include <vector>

#include "load_common.h"

#define THREADS_MAX 5000
#define WAIT_TIMEOUT_MS 100
#define READY_MAX 4

struct idle_waiter_t {
    pthread_t thread;
    bool started = false;
    int epoll_id = -1;
    std::vector<SRTSOCKET> listeners;
    int64_t deadline_ns = 0;
    unsigned long long wakes = 0;
};

static void *wait_idle(void *arg)
{
    idle_waiter_t &waiter = *static_cast<idle_waiter_t *>(arg);
    SRTSOCKET readable[READY_MAX];
    while (!g_stop && monotonic_ns() < waiter.deadline_ns) {
        int count = READY_MAX;
        srt_epoll_wait(waiter.epoll_id, readable, &count, nullptr, nullptr, WAIT_TIMEOUT_MS,
                       nullptr, nullptr, nullptr, nullptr);
        waiter.wakes++;
    }
    return nullptr;
}

// Opens the waiter's epoll and listeners. Returns 0 or -1 (what was opened stays listed
// for the caller to close).
static int open_waiter(idle_waiter_t &waiter, int listeners)
{
    waiter.epoll_id = srt_epoll_create();
    if (waiter.epoll_id == -1)
        return -1;
    for (int i = 0; i < listeners; i++) {
        SRTSOCKET sock = open_listener(0, 1, 0);
        if (sock == SRT_INVALID_SOCK)
            return -1;
        waiter.listeners.push_back(sock);
        int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        if (srt_epoll_add_usock(waiter.epoll_id, sock, &events) == SRT_ERROR)
            return -1;
    }
    return 0;
}

int run_idle(int argc, char **argv)
{
    int64_t threads = find_number(argc, argv, "--threads", 1);
    int64_t listeners = find_number(argc, argv, "--listeners", 1);
    int64_t duration_ns = find_number(argc, argv, "--duration", 30) * 1000000000LL;
    const char *ready_file = find_option(argc, argv, "--ready-file", nullptr);
    if (threads < 1 || threads > THREADS_MAX || listeners < 1 || listeners > 8 ||
        duration_ns <= 0) {
        fprintf(stderr, "idle: --threads 1..%d, --listeners 1..8, --duration positive\n",
                THREADS_MAX);
        return 2;
    }
    std::vector<idle_waiter_t> waiters((size_t)threads);
    int64_t deadline = monotonic_ns() + duration_ns;
    int status = 0;
    for (idle_waiter_t &waiter : waiters) {
        waiter.deadline_ns = deadline;
        if (open_waiter(waiter, (int)listeners) == -1 ||
            pthread_create(&waiter.thread, nullptr, wait_idle, &waiter) != 0) {
            fprintf(stderr, "idle: set-up failed: %s\n", srt_getlasterror_str());
            g_stop = 1;
            status = 1;
            break;
        }
        waiter.started = true;
    }
    if (status == 0 && ready_file != nullptr) {
        FILE *file = fopen(ready_file, "w");
        if (file != nullptr) {
            fputs("waiting\n", file);
            fclose(file);
        }
    }
    unsigned long long wakes = 0;
    for (idle_waiter_t &waiter : waiters) {
        if (waiter.started)
            pthread_join(waiter.thread, nullptr);
        wakes += waiter.wakes;
        for (SRTSOCKET sock : waiter.listeners)
            srt_close(sock);
        if (waiter.epoll_id != -1)
            srt_epoll_release(waiter.epoll_id);
    }
    printf("{\"role\":\"idle\",\"threads\":%lld,\"listeners\":%lld,\"wakes\":%llu}\n",
           (long long)threads, (long long)(threads * listeners), wakes);
    return status;
}
