// The route document: stored routes as plain settings records and as compact JSON.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <jansson.h>

#include "srt/endpoint.h"

// What is stored of one endpoint: the rest comes from parsing the URL.
struct endpoint_settings_t {
    uint8_t enabled = 0;
    conn_mode_t mode = CONN_MODE_LISTEN;
    bool has_url = false; // a stored document may leave "url" out
    std::string url;      // the whole text, however long
};

struct target_settings_t {
    int32_t id = 0;
    endpoint_settings_t endpoint;
};

struct route_settings_t {
    int32_t id = 0;
    endpoint_settings_t source;
    std::vector<target_settings_t> targets;
};

/*
 * Reads a document leniently: a route member that is not an object is skipped,
 * a target member that is not an object is a target with defaults, a non-integer
 * "enabled" is 0 and any non-zero integer 1, an unknown "mode" is listen (a
 * target also reads "push" and "pull" as caller). A route or target id met a
 * second time (ids are the members' leading digits) is skipped with a printed
 * line. Returns 0 with routes in document order, or -1 when the text is not a
 * JSON object, with Jansson's reason (empty for valid JSON of another type).
 */
int parse_route_document(const char *text, std::vector<route_settings_t> &routes,
                         std::string &error);

// {"source_id","enabled","mode","url"[,"targets"]}; "mode" is left out for an
// unknown code, "url" when it is not valid UTF-8.
json_t *route_settings_object(const route_settings_t &route, bool with_targets);
// {"enabled","mode","url"} for one target.
json_t *target_settings_object(const endpoint_settings_t &endpoint);
// Every route in the given order, keyed by decimal id.
json_t *route_document_object(const std::vector<route_settings_t> &routes);

// The document as compact JSON text with no line end (malloc'd, NUL-terminated,
// size without the NUL), or nullptr when out of memory.
char *format_route_document(const std::vector<route_settings_t> &routes, size_t *size);
