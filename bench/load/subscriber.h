// Entry of the "sub" subcommand.
#pragma once

// mirevo-load sub --url srt://127.0.0.1:PORT [--count N] [--duration S] [--latency MS]
//   [--streamid ID] [--reconnect] [--churn-ms MS] [--ready-file PATH] [--ranges]
//   [--share-port] [--no-tsbpd] [--streams S [--port-step K]]
// Runs N callers in one thread, checks every message, prints one JSON report on
// stdout when the duration ends or on SIGINT/SIGTERM: totals, the worst subscriber
// and each subscriber. --share-port binds every caller to one local UDP port, so a
// thousand callers cost one UDP socket and one pair of library threads. With
// --streams, caller j takes stream j mod S of the set (see stream_set_t) and counts
// messages of any other stream as wrong_stream. Returns the exit status.
int run_subscribers(int argc, char **argv);
