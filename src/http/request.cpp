// Request framing state of the control API: path segments, query map, key check.
#include "http/request.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "core/settings.h"

thread_local char g_uri_segments[URI_SEGMENT_SLOTS][URI_SEGMENT_SIZE];
thread_local std::map<std::string, std::string> g_query_params;

int split_uri_path(char *path)
{
    int count = 0;
    char *save = nullptr;
    for (char *segment = strtok_r(path, "/", &save); segment != nullptr;
         segment = strtok_r(nullptr, "/", &save)) {
        if (count < URI_SEGMENT_SLOTS)
            snprintf(g_uri_segments[count], URI_SEGMENT_MAX_CHARS + 1, "%s", segment);
        count++;
    }
    return count;
}

int parse_query_param(const char *fragment)
{
    const char *equals = strchr(fragment, '=');
    if (equals == nullptr || equals == fragment || equals[1] == '\0')
        return -1;
    std::string key(fragment, (size_t)(equals - fragment));
    g_query_params.emplace(key, std::string(equals + 1));
    return 0;
}

const char *query_param(const char *key)
{
    auto found = g_query_params.find(key);
    return found != g_query_params.end() ? found->second.c_str() : "";
}

/*
 * Both texts are laid into zeroed buffers of API_KEY_SIZE bytes and every byte
 * pair is XORed into one accumulator, so the loop never stops at the first
 * difference and always runs the same length. A given key too long for the
 * buffer, or an empty expected key, is folded in as a difference.
 */
static bool key_equals(const char *key, const char *given)
{
    unsigned char expected[API_KEY_SIZE];
    unsigned char offered[API_KEY_SIZE];
    memset(expected, 0, sizeof expected);
    memset(offered, 0, sizeof offered);
    // Only up to the key's end: bytes behind it may be left from an earlier key.
    memcpy(expected, key, strnlen(key, API_KEY_SIZE - 1));

    size_t given_length = strnlen(given, API_KEY_SIZE);
    unsigned char difference = (unsigned char)(given_length >= API_KEY_SIZE);
    memcpy(offered, given, given_length < API_KEY_SIZE ? given_length : API_KEY_SIZE - 1);
    difference |= (unsigned char)(expected[0] == '\0');

    volatile unsigned char accumulated = 0;
    for (size_t i = 0; i < API_KEY_SIZE; i++)
        accumulated = (unsigned char)(accumulated | (expected[i] ^ offered[i]));
    return (accumulated | difference) == 0;
}

bool api_key_matches(const char *given)
{
    return key_equals(g_api_key, given);
}

const char *bearer_token(const char *authorization, char *token, size_t size)
{
    static const char scheme[] = "Bearer ";
    if (size == 0)
        return "";
    token[0] = '\0';
    if (strncasecmp(authorization, scheme, sizeof scheme - 1) != 0)
        return token;
    const char *start = authorization + sizeof scheme - 1;
    while (*start == ' ' || *start == '\t')
        start++;
    size_t length = strlen(start);
    while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\t'))
        length--;
    // A token too long for the buffer is kept too long, so it cannot match by its head.
    if (length >= size)
        length = size - 1;
    memcpy(token, start, length);
    token[length] = '\0';
    return token;
}

/*
 * Both keys are always compared, whichever matches, so the time taken tells
 * nothing about which key was offered.
 */
const char *api_key_refusal(const char *query_key, const char *bearer, bool reading,
                            api_access_t *access)
{
    const char *given = query_key[0] != '\0' ? query_key : bearer;
    *access = API_ACCESS_NONE;
    if (given[0] == '\0')
        return "API key does not exist";
    bool full = key_equals(g_api_key, given);
    bool read = key_equals(g_read_key, given);
    if (full)
        *access = API_ACCESS_FULL;
    else if (read)
        *access = API_ACCESS_READ;
    else
        return "API key does not same with registered API key";
    if (*access == API_ACCESS_READ && !reading)
        return "API key does not permit changes";
    return nullptr;
}
