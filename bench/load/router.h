// Entry of the "routes" subcommand.
#pragma once

// mirevo-load routes --source-port P --target-port Q [--duration S] [--latency MS]
// A bare relay of many streams: callers on P publish, callers on Q play, and each caller's
// stream id ("cam7", or "#!::r=cam7,m=publish") picks its stream. One thread, one SRT epoll
// over every socket. Runs until the duration ends or SIGINT/SIGTERM.
int run_router(int argc, char **argv);
