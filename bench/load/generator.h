// Entry of the "gen" subcommand.
#pragma once

// mirevo-load gen --url srt://127.0.0.1:PORT [--rate BPS] [--duration S]
//   [--reconnect-every S] [--latency MS] [--streamid ID] [--listen]
//   [--streams N [--port-step K] [--share-port]]
// Calls PORT, or with --listen waits there for a caller (again after each reconnect).
// --streams sends N streams at BPS each from one thread: stream i calls PORT + i * K
// with the stream id ID<i> (see stream_set_t), once, from one shared local UDP port
// with --share-port; the duration counts from when every stream is connected (standard
// error then says "gen: N streams connected"), so that a slow set-up of many streams does
// not shorten the traffic. Prints one JSON report on stdout, with the library's
// retransmissions and a connection record per stream. Returns the process exit status.
int run_generator(int argc, char **argv);
