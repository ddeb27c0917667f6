// The SRT socket factory: listening, calling and rendezvous sockets from an endpoint.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "srt/endpoint.h"

// Returns a new non-blocking SRT socket for the endpoint's mode (listening,
// connecting or rendezvous attempt under way), or -1 after printing the reason.
// A socket created before a failing step is closed; nothing is left behind.
// Routes listen through the port table (listen_on_port), which shares one
// listener per port; a listener made here is the endpoint's alone.
int create_srt_socket(const endpoint_url_t *endpoint);

// A non-blocking socket bound to the wildcard address of the endpoint's family on
// port (:: dual-stack for IPv6), the endpoint's options applied before the bind; a
// rendezvous socket gets SRTO_RENDEZVOUS first, and binds the family of its peer. Returns it, or -1
// with everything released and the reason printed.
int create_bound_socket(const endpoint_url_t *endpoint, int port, bool rendezvous);

// "a.b.c.d:port" or "[v6]:port" for a peer address; an IPv4 caller on a
// dual-stack socket shows as IPv4 (no "::ffff:"). Empty when it cannot be read.
void format_peer_address(const struct sockaddr *peer, int length, char *out, size_t size);

// Prints a failing step's line and keeps it for last_socket_error.
void report_socket_failure(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The line that explained the calling thread's last failed create_srt_socket.
const char *last_socket_error(void);

// Logs the option lines SrtTestListenCallback would, setting nothing.
void log_endpoint_options(const endpoint_url_t *endpoint);

// Sets the key refresh rate and its announcement (packets) on sock before its
// handshake ends; 0 leaves libsrt's default. Results are ignored.
void set_key_refresh(int sock, int32_t kmrefreshrate, int32_t kmpreannounce);

// Applies the endpoint's optional settings (stream id, latency, maxbw, passphrase,
// pbkeylen, key refresh) to sock before bind/connect, logging each one. Returns 0.
int SrtTestListenCallback(const endpoint_url_t *endpoint, int sock);
