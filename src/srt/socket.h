// The SRT socket factory: listening, calling and rendezvous sockets from an endpoint.
#pragma once

#include "srt/endpoint.h"
#include "srt/listen_gate.h"

// Returns a new non-blocking IPv4 SRT socket for the endpoint's mode (listening,
// connecting or rendezvous attempt under way), or -1 after printing the reason.
// A socket created before a failing step is closed; nothing is left behind. A
// listener gets a gate (install_listen_gate) that refuses wrong stream ids at the
// handshake, counting them for owner, and rings owner's doorbell for the others.
int create_srt_socket(const endpoint_url_t *endpoint, const socket_owner_t *owner = nullptr);

// The line that explained the calling thread's last failed create_srt_socket.
const char *last_socket_error(void);

// Applies the endpoint's optional settings (stream id, latency, maxbw, passphrase,
// pbkeylen) to sock before bind/connect, logging each one. Returns 0.
int SrtTestListenCallback(const endpoint_url_t *endpoint, int sock);
