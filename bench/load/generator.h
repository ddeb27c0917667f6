// Entry of the "gen" subcommand.
#pragma once

// mirevo-load gen --url srt://127.0.0.1:PORT [--rate BPS] [--duration S]
//   [--reconnect-every S] [--latency MS] [--streamid ID] [--listen]
// Calls PORT, or with --listen waits there for a caller (again after each reconnect).
// Prints one JSON report on stdout, with the library's retransmissions. Returns the
// process exit status.
int run_generator(int argc, char **argv);
