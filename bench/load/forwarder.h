// Entry of the "forward" subcommand.
#pragma once

// mirevo-load forward --source-port P --target-port Q [--duration S] [--latency MS]
//   [--drop-every N] [--duplicate-every N] [--corrupt-every N] [--swap-every N]
// A bare fan-out: one caller at a time on P is the source, any number of callers on
// Q receive every message. Runs until the duration ends or SIGINT/SIGTERM.
int run_forwarder(int argc, char **argv);
