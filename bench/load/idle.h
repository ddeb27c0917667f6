// Entry of the "idle" subcommand.
#pragma once

// mirevo-load idle --threads N [--listeners K] [--duration S] [--ready-file PATH]
// The floor of an idle relay: N threads, each waiting in srt_epoll_wait (100 ms timeout,
// as a route's threads do) on its own epoll that holds K listening sockets on free
// loopback ports, nobody calling. Runs until the duration ends or SIGINT/SIGTERM.
int run_idle(int argc, char **argv);
