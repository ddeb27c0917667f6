// Shared pieces of the load tool: clock, stop flag, option lookup and SRT socket set-up.
#pragma once

#include <csignal>
#include <cstdint>

#include <srt/srt.h>

// Set by SIGINT and SIGTERM; every loop of the tool checks it.
extern volatile sig_atomic_t g_stop;

// The passphrase of every SRT socket the tool opens (--passphrase); empty for none.
extern const char *g_passphrase;

void install_stop_handler();

int64_t monotonic_ns();

// The text after "--name" in argv, or fallback when absent.
const char *find_option(int argc, char **argv, const char *name, const char *fallback);
int64_t find_number(int argc, char **argv, const char *name, int64_t fallback);
bool has_flag(int argc, char **argv, const char *name);

struct srt_address_t {
    char host[64];
    int port;
};

// Reads "srt://host:port" (or "host:port"; an empty host means 0.0.0.0). Returns 0,
// or -1 when there is no port.
int parse_srt_address(const char *url, srt_address_t *address);

// Live-mode socket options shared by every socket of the tool: latency in ms
// (0 keeps the library default), stream id (may be empty), g_passphrase. Returns 0 or -1.
int apply_live_options(SRTSOCKET sock, int latency_ms, const char *streamid);

// A listening socket on 127.0.0.1-reachable port, non-blocking. Returns the socket
// or SRT_INVALID_SOCK (nothing left open).
SRTSOCKET open_listener(int port, int backlog, int latency_ms);

// Starts a caller towards address. With blocking false the call returns at once and
// completion is seen through an epoll (SRT_EPOLL_OUT / SRT_EPOLL_ERR). local_port -1
// leaves the local side to the library; 0 or a port binds 127.0.0.1:local_port with
// SRTO_REUSEADDR, so callers bound to one port share one UDP socket and one set of
// library threads. Returns the socket or SRT_INVALID_SOCK (nothing left open).
SRTSOCKET open_caller(const srt_address_t &address, int latency_ms, const char *streamid,
                      bool blocking, int local_port = -1, bool tsbpd = true);

// The local UDP port of sock, or -1.
int local_port_of(SRTSOCKET sock);
