// Preloaded into the relay: the first watch of a connected socket fails.
#include <dlfcn.h>

#include <atomic>

#include <srt/srt.h>

extern "C" int srt_epoll_add_usock(int eid, SRTSOCKET u, const int *events)
{
    typedef int (*add_fn_t)(int, SRTSOCKET, const int *);
    static add_fn_t real = (add_fn_t)dlsym(RTLD_NEXT, "srt_epoll_add_usock");
    static std::atomic<bool> failed{false};
    if (srt_getsockstate(u) == SRTS_CONNECTED && !failed.exchange(true))
        return SRT_ERROR;
    return real(eid, u, events);
}
