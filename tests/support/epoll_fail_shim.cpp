// Preloaded into the relay: the first watch of a connected socket fails or, with
// SHIM_WATCH_DELAY_MS set, every such watch comes that late, when its caller may be gone.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include <srt/srt.h>

extern "C" int srt_epoll_add_usock(int eid, SRTSOCKET u, const int *events)
{
    typedef int (*add_fn_t)(int, SRTSOCKET, const int *);
    static add_fn_t real = (add_fn_t)dlsym(RTLD_NEXT, "srt_epoll_add_usock");
    static const char *delay_ms = getenv("SHIM_WATCH_DELAY_MS");
    static std::atomic<bool> failed{false};
    bool connected = srt_getsockstate(u) == SRTS_CONNECTED;
    if (connected && delay_ms != nullptr)
        usleep((useconds_t)atoi(delay_ms) * 1000);
    else if (connected && !failed.exchange(true))
        return SRT_ERROR;
    return real(eid, u, events);
}
