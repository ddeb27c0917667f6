// libFuzzer target of the control API's request state: path segments, query map, key check.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <map>
#include <string>
#include <vector>

#include "core/settings.h"
#include "fuzz_check.h"
#include "http/request.h"

// The server's Authorization buffer.
#define AUTHORIZATION_SIZE 512

// Text split at sep; a missing trailing part is "".
static std::vector<std::string> split(const std::string &text, char sep, size_t at_least)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == sep)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    if (parts.size() < at_least)
        parts.resize(at_least);
    return parts;
}

// A heap copy of the exact size, so that reading past the text's end shows.
static char *exact_copy(const std::string &text)
{
    char *copy = new char[text.size() + 1];
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

static void check_path(const std::string &path)
{
    std::vector<std::string> segments;
    for (const std::string &part : split(path, '/', 0))
        if (!part.empty())
            segments.push_back(part);
    char *copy = exact_copy(path);
    int count = split_uri_path(copy);
    delete[] copy;
    FUZZ_CHECK(count == (int)segments.size());
    for (int i = 0; i < count && i < URI_SEGMENT_SLOTS; i++) {
        FUZZ_CHECK(strnlen(g_uri_segments[i], URI_SEGMENT_SIZE) <= URI_SEGMENT_MAX_CHARS);
        FUZZ_CHECK(segments[i].compare(0, URI_SEGMENT_MAX_CHARS, g_uri_segments[i]) == 0);
    }
}

// Offers the fragments as the server does (up to the first empty or too long one);
// the first value of a key wins and keeps any further '='.
static void check_query(const std::string &query)
{
    std::map<std::string, std::string> expected;
    g_query_params.clear();
    for (const std::string &fragment : split(query, '&', 0)) {
        if (fragment.empty() || fragment.size() >= QUERY_FRAGMENT_SIZE)
            break;
        size_t equals = fragment.find('=');
        bool valid = equals != std::string::npos && equals > 0 && equals + 1 < fragment.size();
        char *copy = exact_copy(fragment);
        FUZZ_CHECK(parse_query_param(copy) == (valid ? 0 : -1));
        delete[] copy;
        if (valid)
            expected.emplace(fragment.substr(0, equals), fragment.substr(equals + 1));
    }
    FUZZ_CHECK(g_query_params == expected);
    for (const auto &param : expected)
        FUZZ_CHECK(param.second == query_param(param.first.c_str()));
    if (expected.count("api_key") == 0)
        FUZZ_CHECK(query_param("api_key")[0] == '\0');
}

// Returns the token from a buffer of the server's size; checks smaller buffers too.
static std::string check_bearer(const std::string &authorization)
{
    std::string expected;
    if (strncasecmp(authorization.c_str(), "Bearer ", 7) == 0) {
        size_t first = authorization.find_first_not_of(" \t", 7);
        size_t last = authorization.find_last_not_of(" \t");
        if (first != std::string::npos)
            expected = authorization.substr(first, last + 1 - first);
    }
    std::string token_512;
    for (size_t size : {(size_t)AUTHORIZATION_SIZE, 1 + authorization.size() % 8, (size_t)0}) {
        char *token = new char[size + 1];
        const char *result = bearer_token(authorization.c_str(), token, size);
        if (size == 0) {
            FUZZ_CHECK(result[0] == '\0');
        } else {
            FUZZ_CHECK(result == token && strnlen(token, size) < size);
            FUZZ_CHECK(expected.substr(0, size - 1) == token);
        }
        if (size == AUTHORIZATION_SIZE)
            token_512 = token;
        delete[] token;
    }
    return token_512;
}

// The full key wins over the read key; the read key opens GET requests only.
static void check_key(const std::string &bearer, bool reading)
{
    const char *query_key = query_param("api_key");
    const char *given = query_key[0] != '\0' ? query_key : bearer.c_str();
    api_access_t access = API_ACCESS_FULL;
    const char *refusal = api_key_refusal(query_key, bearer.c_str(), reading, &access);
    bool full = g_api_key[0] != '\0' && strcmp(given, g_api_key) == 0;
    bool read = !full && g_read_key[0] != '\0' && strcmp(given, g_read_key) == 0;
    if (given[0] == '\0') {
        FUZZ_CHECK(refusal != nullptr && strcmp(refusal, "API key does not exist") == 0);
        FUZZ_CHECK(access == API_ACCESS_NONE);
    } else if (full) {
        FUZZ_CHECK(refusal == nullptr && access == API_ACCESS_FULL);
    } else if (read) {
        FUZZ_CHECK(access == API_ACCESS_READ);
        FUZZ_CHECK(reading ? refusal == nullptr
                           : refusal != nullptr &&
                                 strcmp(refusal, "API key does not permit changes") == 0);
    } else {
        FUZZ_CHECK(refusal != nullptr &&
                   strcmp(refusal, "API key does not same with registered API key") == 0);
        FUZZ_CHECK(access == API_ACCESS_NONE);
    }
}

// Input lines: the server's key, the Authorization value, the path, the query, the read
// key; an input of even length stands for a GET.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> lines = split(text.c_str(), '\n', 5);
    // Bytes past a key's end are left from an earlier key; they must not count.
    memset(g_api_key, 'x', sizeof g_api_key);
    snprintf(g_api_key, sizeof g_api_key, "%s", lines[0].c_str());
    memset(g_read_key, 'y', sizeof g_read_key);
    snprintf(g_read_key, sizeof g_read_key, "%s", lines[4].c_str());
    check_path(lines[2]);
    check_query(lines[3]);
    check_key(check_bearer(lines[1]), size % 2 == 0);
    return 0;
}
