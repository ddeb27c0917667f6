// The route seed: a read-only route document that becomes the route file at first start.
#pragma once

#include <stddef.h>

#include <string>

/*
 * Checks a route document strictly, as a person wrote it: a JSON object of
 * routes keyed by decimal ids below 65535, each an object of "source_id" (its
 * own id), "enabled" (0 or 1), "mode", "url" and "targets" (an object of
 * targets keyed the same way, ids unique in the document, each with "enabled",
 * "mode" and "url"); no other member, no name twice. A URL is "srt://host:port"
 * with options; a calling or rendezvous endpoint names an IP address (the relay
 * looks up no host names), and an enabled endpoint has a URL. Returns 0, or -1
 * with the first fault in reason ("route \"100\": ...").
 */
int check_route_document(const char *text, size_t size, std::string &reason);

/*
 * With seed_path set and no file at config_path: reads the seed (never writing
 * it), checks it and copies it to config_path (private, atomic). A route file
 * that exists is left as it is. Returns 0, or -1 after printing one line that
 * says why the seed cannot be used. Main thread, before the load.
 */
int seed_route_file(const char *seed_path, const char *config_path);
