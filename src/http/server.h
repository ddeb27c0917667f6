// The HTTP control server thread.
#pragma once

// Thread entry: serves the control API on g_http_port until the process ends.
// Returns (nullptr) only when the server cannot be set up.
void *http_server_thread(void *arg);
