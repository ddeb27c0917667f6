// SIGINT/SIGTERM handling: the only orderly way out of the serving process; SIGHUP: reload.
#pragma once

#include <atomic>

// Run before the process exits on a signal, on the signal thread; must return
// within a bounded time (the exit waits for it).
typedef void (*exit_preparation_fn)(void);

/*
 * Installs handlers for SIGINT and SIGTERM that only hand the signal to a
 * thread of their own (async-signal-safe), and ignores SIGPIPE so a console
 * that went away costs its lines only. That thread queues "Received signal:
 * N", runs the exit preparation (a save in flight gets its chance to finish),
 * gives the log writer a second to drain and ends the process with _exit(N),
 * so no static destructor runs under the route threads. Returns 0, or -1 when
 * the thread cannot be started (the handlers then exit at once).
 */
int install_signal_handlers(exit_preparation_fn prepare);

// Ends the process with status: relay.stopping is emitted, the webhook gets a second to
// deliver, the log a second to drain. Any thread but the outgoing HTTP one.
[[noreturn]] void exit_after_log(int status);

// Set by SIGHUP; the HTTP thread takes it (exchange to 0) and reloads the TLS pair.
extern std::atomic<int> g_hangup_received;
// Installs the SIGHUP handler, which only sets g_hangup_received.
void install_hangup_handler(void);
