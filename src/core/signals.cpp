// SIGINT/SIGTERM wake the signal thread, which ends the process; SIGHUP asks for a reload.
#include "core/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "core/events.h"
#include "core/log.h"

#define EXIT_LOG_DRAIN_MS 1000
// The webhook gets this long to deliver what waits, relay.stopping last.
#define EXIT_EVENTS_DRAIN_MS 1000

static int g_signal_pipe[2] = {-1, -1};
static exit_preparation_fn g_prepare_exit = nullptr;

// Writes "Received signal: N" with write(2) and ends with _exit(N): the fallback
// when there is no signal thread to hand the signal to.
static void exit_on_signal_now(int signo)
{
    char line[48];
    const char prefix[] = "Received signal: ";
    size_t len = sizeof prefix - 1;
    memcpy(line, prefix, len);
    char digits[12];
    int count = 0;
    unsigned value = signo < 0 ? 0u : (unsigned)signo;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < (int)sizeof digits);
    while (count > 0)
        line[len++] = digits[--count];
    line[len++] = '\n';
    ssize_t ignored = write(STDOUT_FILENO, line, len);
    (void)ignored;
    _exit(signo);
}

// Only async-signal-safe calls: one byte into the pipe. A full pipe means the
// thread has a signal to act on already.
static void hand_over_signal(int signo)
{
    int saved = errno;
    unsigned char byte = (unsigned char)signo;
    if (write(g_signal_pipe[1], &byte, 1) != 1 && errno != EAGAIN)
        exit_on_signal_now(signo);
    errno = saved;
}

void exit_after_log(int status)
{
    emit_event(EVENT_RELAY_STOPPING, {}, {{"exit_status", status}});
    flush_events(EXIT_EVENTS_DRAIN_MS);
    flush_log(EXIT_LOG_DRAIN_MS);
    _exit(status);
}

static void *signal_thread(void *)
{
    for (;;) {
        unsigned char byte = 0;
        ssize_t got = read(g_signal_pipe[0], &byte, 1);
        if (got == -1 && errno == EINTR)
            continue;
        if (got != 1)
            exit_on_signal_now(SIGTERM);
        console_printf("Received signal: %d\n", byte);
        if (g_prepare_exit != nullptr)
            g_prepare_exit();
        exit_after_log(byte);
    }
    return nullptr;
}

int install_signal_handlers(exit_preparation_fn prepare)
{
    g_prepare_exit = prepare;
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    int result = 0;
    pthread_t thread;
    if (pipe2(g_signal_pipe, O_CLOEXEC) == 0 && fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK) == 0 &&
        pthread_create(&thread, nullptr, signal_thread, nullptr) == 0) {
        pthread_setname_np(thread, "signals");
        pthread_detach(thread);
        action.sa_handler = hand_over_signal;
    } else {
        action.sa_handler = exit_on_signal_now;
        result = -1;
    }
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return result;
}

// Lock-free, so the handler may store into it.
std::atomic<int> g_hangup_received{0};

static void handle_hangup_signal(int)
{
    g_hangup_received.store(1);
}

void install_hangup_handler(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handle_hangup_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}
