// mirevo-load: load generator, checking subscriber set, bare forwarder, bare many-streams relay
// and lossy link for benchmarks.
#include <cstdio>
#include <cstring>
#include <sys/syslog.h>

#include <srt/srt.h>

#include "forwarder.h"
#include "generator.h"
#include "idle.h"
#include "impair.h"
#include "load_common.h"
#include "router.h"
#include "subscriber.h"
#include "udp_forwarder.h"

static void print_usage()
{
    fprintf(stderr, "usage: mirevo-load gen|sub|forward|routes|idle|impair|udpfwd [--option ...]"
                    " [--passphrase P]\n"
                    "  gen     --url srt://127.0.0.1:P [--rate BPS] [--duration S]"
                    " [--reconnect-every S] [--latency MS] [--streamid ID] [--listen]\n"
                    "          [--streams N [--port-step K] [--share-port]]\n"
                    "  sub     --url srt://127.0.0.1:P [--count N] [--duration S] [--reconnect]"
                    " [--churn-ms MS] [--ready-file F] [--ranges] [--share-port]\n"
                    "          [--no-tsbpd] [--streamid ID] [--streams N [--port-step K]]\n"
                    "  forward --source-port P --target-port Q [--duration S]"
                    " [--drop-every N] [--duplicate-every N] [--corrupt-every N] [--swap-every N]\n"
                    "  routes  --source-port P --target-port Q [--duration S] [--latency MS]\n"
                    "  idle    --threads N [--listeners K] [--duration S] [--ready-file F]\n"
                    "  impair  --listen P --to HOST:PORT --seconds S [--seed N] [--loss PCT]"
                    " [--delay MS] [--jitter MS] [--dup PCT] [--fwd-* | --back-* ..] [--bind6]\n"
                    "  udpfwd  --in GROUP:PORT --out HOST:PORT [--iface ADDR] [--duration S]\n");
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        print_usage();
        return 2;
    }
    install_stop_handler();
    if (srt_startup() == -1) {
        fprintf(stderr, "srt_startup: %s\n", srt_getlasterror_str());
        return 1;
    }
    srt_setloglevel(LOG_ERR);
    g_passphrase = find_option(argc, argv, "--passphrase", "");
    int status = 2;
    if (strcmp(argv[1], "gen") == 0)
        status = run_generator(argc - 1, argv + 1);
    else if (strcmp(argv[1], "sub") == 0)
        status = run_subscribers(argc - 1, argv + 1);
    else if (strcmp(argv[1], "forward") == 0)
        status = run_forwarder(argc - 1, argv + 1);
    else if (strcmp(argv[1], "routes") == 0)
        status = run_router(argc - 1, argv + 1);
    else if (strcmp(argv[1], "idle") == 0)
        status = run_idle(argc - 1, argv + 1);
    else if (strcmp(argv[1], "impair") == 0)
        status = run_impair(argc - 1, argv + 1);
    else if (strcmp(argv[1], "udpfwd") == 0)
        status = run_udp_forwarder(argc - 1, argv + 1);
    else
        print_usage();
    fflush(stdout);
    srt_cleanup();
    return status;
}
