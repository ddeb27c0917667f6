// SIGINT/SIGTERM handling: the only orderly way out of the serving process; SIGHUP: reload.
#include "core/signals.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

void handle_exit_signal(int signo)
{
    // Only async-signal-safe calls: the text is built by hand.
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

void install_signal_handlers(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handle_exit_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
