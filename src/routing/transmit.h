// The data path of a route: messages read from its source connections and fanned out.
#pragma once

#include <srt/srt.h>

#include "routing/registry.h"

/*
 * The event loop's handler for a listed source connection that is readable:
 * reads what it holds, at most a bounded number of messages so one busy source
 * cannot hold up the others (the epoll reports it again). The first connection
 * that delivers becomes the active source, and each of its messages goes,
 * unchanged, to every target connection. Another connection's messages are
 * read and dropped, so a publisher that takes over later starts live; with
 * failover=<ms> such a standby takes over once the active source has been
 * silent that long. Cost per message: O(target connections) non-blocking sends
 * under route.list_lock, no allocation, no log. Event loop thread only.
 */
void read_source(route_t &route, SRTSOCKET sock);

/*
 * One message of the source connection sock (an SRT one, or a UDP source's id):
 * forwarded when sock is, or becomes, the active source, else dropped as a
 * standby's. played is libsrt's play time of the message (us), 0 when it has
 * none. Cost and rules as read_source. Event loop thread only.
 */
void deliver_message(route_t &route, int sock, const char *message, int length, int64_t played);
