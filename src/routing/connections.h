// The connection handler thread of a route and the connection lists it keeps.
#pragma once

#include "routing/registry.h"

// Thread entry: accepts callers, notices connected and broken sockets, rebuilds
// calling and rendezvous sockets. arg is the route's element in g_routes.
void *router_connections_handler(void *arg);

// Appends a connected socket to the route's conns (source_sock != -1) or the
// target's conns (target_sock != -1); an id already listed is left alone.
// add_connection takes route.lock; the _locked forms expect the caller to hold it.
void add_connection(route_t *route, target_t *target, int source_sock, int target_sock);
void add_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock);
// Erases a listed socket, closes it and logs the disconnect; an unlisted socket is
// neither removed nor closed.
void remove_connection(route_t *route, target_t *target, int source_sock, int target_sock);
void remove_connection_locked(route_t *route, target_t *target, int source_sock, int target_sock);

// True when sock is in conns. Caller holds route.lock or route.list_lock.
bool conns_contain(const std::list<conn_socket_t> &conns, int sock);
