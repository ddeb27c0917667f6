// The SRT socket factory: listening, calling and rendezvous sockets from an endpoint.
#pragma once

#include "srt/endpoint.h"
#include "srt/stream_gate.h"

// Returns a new non-blocking IPv4 SRT socket for the endpoint's mode (listening,
// connecting or rendezvous attempt under way), or -1 after printing the reason.
// A socket created before a failing step is closed; nothing is left behind. A
// listener with a stream id refuses wrong ids at the handshake (install_stream_gate),
// its refusals counted for owner.
int create_srt_socket(const endpoint_url_t *endpoint, const socket_owner_t *owner = nullptr);

// Applies the endpoint's optional settings (stream id, latency, maxbw, passphrase,
// pbkeylen) to sock before bind/connect, logging each one. Returns 0.
int SrtTestListenCallback(const endpoint_url_t *endpoint, int sock);
