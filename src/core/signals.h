// SIGINT/SIGTERM handling: the only orderly way out of the serving process.
#pragma once

// Writes "Received signal: N" with write(2) and ends with _exit(N), so no static
// destructor runs under the route threads.
void handle_exit_signal(int signo);
// Installs handle_exit_signal for SIGINT, then SIGTERM.
void install_signal_handlers(void);
