// SIGINT/SIGTERM handling: the only orderly way out of the serving process; SIGHUP: reload.
#pragma once

#include <atomic>

// Writes "Received signal: N" with write(2) and ends with _exit(N), so no static
// destructor runs under the route threads.
void handle_exit_signal(int signo);
// Installs handle_exit_signal for SIGINT, then SIGTERM.
void install_signal_handlers(void);

// Set by SIGHUP; the HTTP thread takes it (exchange to 0) and reloads the TLS pair.
extern std::atomic<int> g_hangup_received;
// Installs the SIGHUP handler, which only sets g_hangup_received.
void install_hangup_handler(void);
