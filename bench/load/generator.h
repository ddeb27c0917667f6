// Entry of the "gen" subcommand.
#pragma once

// mirevo-load gen --url srt://127.0.0.1:PORT [--rate BPS] [--duration S]
//   [--reconnect-every S] [--latency MS] [--streamid ID]
// Prints one JSON report on stdout. Returns the process exit status.
int run_generator(int argc, char **argv);
