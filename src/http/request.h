// Request framing state of the control API: path segments, query map, key check.
#pragma once

#include <map>
#include <string>

// A request path is copied into this many bytes; longer paths are refused.
#define URI_PATH_SIZE 256
// The segment table: slots of 100 bytes, each holding at most 98 characters.
#define URI_SEGMENT_SLOTS 10
#define URI_SEGMENT_SIZE 100
#define URI_SEGMENT_MAX_CHARS 98
// One query fragment ("key=value") is read into this many bytes: as many as
// libwebsockets keeps of a request's headers, so no fragment it holds is lost
// (a URL of up to 2047 characters with its stream id of 512 bytes fits).
#define QUERY_FRAGMENT_SIZE 4096

// Both tables are refilled by every request, and each thread has its own: the
// HTTP thread's, and the edit worker's, filled from the change it runs.
extern thread_local char g_uri_segments[URI_SEGMENT_SLOTS][URI_SEGMENT_SIZE];
extern thread_local std::map<std::string, std::string> g_query_params;

// Splits path in place at '/' (empty segments skipped) and copies the first
// URI_SEGMENT_SLOTS segments, cut to 98 characters, into g_uri_segments.
// Returns the number of segments in the path, which may exceed the slot count.
int split_uri_path(char *path);

// Offers one "key=value" fragment to g_query_params; the first occurrence of a
// key wins and the value keeps any further '='. Returns 0, or -1 when the
// fragment has no '=', starts with it or ends with it (ignored).
int parse_query_param(const char *fragment);

// The value of a query parameter, "" when it is absent.
const char *query_param(const char *key);

// True when given equals g_api_key and g_api_key is not empty. Runs over the
// whole key buffer whatever the input, so its time tells nothing about the key.
bool api_key_matches(const char *given);

// The token of an "Authorization: Bearer <token>" value (scheme matched without
// case, blanks around the token skipped), or "" for any other value.
const char *bearer_token(const char *authorization, char *token, size_t size);

// What an accepted key may do: every request, or GET requests only.
enum api_access_t {
    API_ACCESS_NONE,
    API_ACCESS_READ,
    API_ACCESS_FULL,
};

// Decides on a request's key: the api_key parameter when it is given, else the
// bearer token, compared in constant time with g_api_key and g_read_key.
// reading: the request is a GET. Returns nullptr when the request may go on,
// else the refusal text ("API key does not exist", "API key does not same
// with registered API key", or "API key does not permit changes" for the read
// key on any other method). *access is the rights of the key that matched.
const char *api_key_refusal(const char *query_key, const char *bearer, bool reading,
                            api_access_t *access);
