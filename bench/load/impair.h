// Entry of the "impair" subcommand.
#pragma once

// mirevo-load impair --listen PORT --to HOST:PORT --seconds S [--seed N] [--loss PCT]
//   [--delay MS] [--jitter MS] [--dup PCT] [--fwd-loss ..] [--fwd-delay ..] [--fwd-jitter ..]
//   [--fwd-dup ..] [--back-loss ..] [--back-delay ..] [--back-jitter ..] [--back-dup ..]
//   [--bind6]
// A UDP middlebox on the loopback: what a peer sends to PORT goes on to HOST:PORT ("fwd"),
// the replies come back ("back"). Each direction drops, delays, jitters (uniformly 0..jitter
// ms more, which may reorder) and duplicates on its own, from its own random stream of the
// seed. Each listen-side peer gets its own upstream socket, and stderr names its local port
// ("impair: peer A relayed from local port N"). Ends after S seconds or on SIGINT/SIGTERM and
// prints one JSON line of counters per direction. Returns the exit status.
int run_impair(int argc, char **argv);
