// Entry point: start-up in its fixed order, then the statistics loop for ever.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <srt/srt.h>

#include "config/config_file.h"
#include "config/route_seed.h"
#include "core/events.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/signals.h"
#include "http/server.h"
#include "http/webhook.h"
#include "routing/authorization.h"
#include "recording/recorder.h"
#include "routing/registry.h"
#include "routing/route_store.h"
#include "routing/stats.h"

static void print_usage(const char *program)
{
    printf("MIREVO:\n");
    printf("Usage: %s [-h]\n", program);
}

// On the way out on a signal: a save in flight may finish, or its temporary
// file (a copy of every passphrase) goes; every recording closes its segment.
static void finish_or_abandon_save(void)
{
    finish_or_abandon_staged_file(2000);
    close_all_recordings(5000);
}

// Sleeps 100 ms, resuming after a signal for the time that is left.
static void sleep_100ms(void)
{
    struct timespec left = {0, 100 * 1000 * 1000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

// The soft descriptor limit goes up to the hard one: SRT sockets, their epolls,
// files and HTTP connections all draw on it.
static void raise_descriptor_limit(void)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main(int argc, char **argv)
{
    int option;
    while ((option = getopt(argc, argv, "h")) != -1) {
        if (option == 'h') {
            print_usage(argv[0]);
            return 0;
        }
    }

    // Before the first line: every line goes through the log queue, which they guard.
    if (init_global_locks() != 0)
        return 6;
    console_printf("========\n");
    install_signal_handlers(finish_or_abandon_save);
    install_hangup_handler();
    raise_descriptor_limit();
    load_settings_from_env();
    if (g_api_key[0] == '\0')
        console_printf("No API key is set: every HTTP request will be refused. "
                       "Set MIREVO_API_KEY to the key clients must send as api_key.\n");
    // Before any thread emits: the webhook's queue, and ids that go on from the last run's.
    bool webhook = g_events_url[0] != '\0' && start_webhook() == 0;
    start_authorization();
    configure_events((size_t)g_events_queue, webhook, first_event_id((int64_t)time(nullptr)));

    srt_startup();
    srt_setloglevel(2);

    log_message(LOG_LEVEL_INFO, "Server was successfully initialized\n");
    uint64_t period_start = now_ms();

    // Before any route opens a port: a relay that cannot have its routes (a seed
    // that cannot be used) or serve its API (port taken, TLS pair unusable) ends
    // at once, and its service manager sees it.
    if (seed_route_file(g_config_seed_path, g_config_path) != 0 || http_server_start() != 0)
        exit_after_log(1);
    emit_event(EVENT_RELAY_STARTED, {}, {{"version", MIREVO_VERSION}});
    load_routes_config();

    pthread_t http_thread;
    int err = pthread_create(&http_thread, nullptr, http_server_thread, nullptr);
    if (err != 0) {
        console_printf("cannot create http_server_thread: %s\n", strerror(err));
        exit_after_log(255);
    }
    pthread_detach(http_thread);

    for (;;) {
        sleep_100ms();
        if (now_ms() - period_start < 1000)
            continue;
        pthread_mutex_lock(&g_routes_lock);
        reap_retired_routes();
        pthread_mutex_lock(&stat_lock);
        float elapsed = (float)(now_ms() - period_start) / 1000.0f;
        print_route_stats(elapsed);
        pthread_mutex_unlock(&stat_lock);
        pthread_mutex_unlock(&g_routes_lock);
        period_start = now_ms();
    }
}
