// Randomised endpoint URL parsing: bounded fields and untouched inputs (overruns show under ASan).
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "srt/endpoint.h"

namespace
{

const char *const seed_urls[] = {
    "srt://:9000",
    "srt://10.0.0.5:9000?streamid=cam1&latency=200&maxbw=-1&passphrase=0123456789&pbkeylen=16",
    "srt://h:1?streamid=live=cam1&port=5000", "udp://h?streamid=a:b", "srt://h:1?&&latency==7&&"};

// Pieces that steer random text towards the parser's branches.
const char *const fragments[] = {"://",     ":",     "?",          "&",        "=",    "streamid",
                                 "latency", "maxbw", "passphrase", "pbkeylen", "port", "srt",
                                 "-",       "9",     "0.0.0.0",    "%",        " "};

std::string random_text(std::mt19937 &rng, size_t max_pieces)
{
    std::string text;
    for (size_t i = 0, pieces = rng() % (max_pieces + 1); i < pieces; i++) {
        unsigned kind = rng() % 4;
        if (kind == 0)
            text += fragments[rng() % (sizeof fragments / sizeof fragments[0])];
        else if (kind == 1) // long runs push host, stream id and passphrase past their fields
            text.append(1 + rng() % 160, (char)('a' + rng() % 26));
        else
            text += (char)(1 + rng() % 255);
    }
    return text;
}

std::string mutate(std::mt19937 &rng, std::string url)
{
    for (int i = 0, edits = 1 + (int)(rng() % 4); i < edits; i++) {
        size_t at = url.empty() ? 0 : rng() % (url.size() + 1);
        unsigned kind = rng() % 4;
        if (kind == 0)
            url.insert(at, random_text(rng, 3));
        else if (kind == 1 && !url.empty())
            url.erase(at, 1 + rng() % 8);
        else if (kind == 2 && at < url.size())
            url[at] = (char)(1 + rng() % 255);
        else if (kind == 3)
            url += url.substr(at);
    }
    return url;
}

// Parses one URL and returns the first broken invariant, or an empty text. The URL
// sits in a heap block of its exact size so that reading past its end shows under ASan.
std::string check_parse(const std::string &text, conn_mode_t mode)
{
    char *url = (char *)malloc(text.size() + 1);
    memcpy(url, text.c_str(), text.size() + 1);
    endpoint_url_t endpoint, before;
    memset(&endpoint, 0x7f, sizeof endpoint);
    endpoint.enabled = 3;
    endpoint.mode = mode;
    memcpy(&before, &endpoint, sizeof before);

    int result = parse_endpoint_url(endpoint, url);
    bool url_changed = memcmp(url, text.c_str(), text.size() + 1) != 0;
    free(url);
    if (url_changed)
        return "URL text changed";
    if (text.find("://") == std::string::npos) {
        if (result != -1 || memcmp(&endpoint, &before, sizeof before) != 0)
            return "URL without scheme not refused untouched";
        return "";
    }
    if (result != 0)
        return "result " + std::to_string(result);
    const struct {
        const char *name;
        const char *field;
        size_t size, longest;
    } texts[] = {{"host", endpoint.host, sizeof endpoint.host, 31},
                 {"streamid", endpoint.streamid, sizeof endpoint.streamid, 98},
                 {"passphrase", endpoint.passphrase, sizeof endpoint.passphrase, 98}};
    for (const auto &t : texts)
        if (memchr(t.field, '\0', t.size) == nullptr || strlen(t.field) > t.longest)
            return std::string(t.name) + " longer than " + std::to_string(t.longest);
    if (endpoint.enabled != 3 || endpoint.mode != mode ||
        memcmp(endpoint.url, before.url, sizeof endpoint.url) != 0)
        return "enabled, mode or url field changed";
    if (mode != CONN_MODE_RENDEZVOUS && endpoint.r_local_port != 0)
        return "local port set outside rendezvous mode";
    // The host is the start of the authority, or the wildcard when a ':' comes first.
    std::string rest = text.substr(text.find("://") + 3);
    std::string expected_host = rest.compare(0, 1, ":") == 0 ? "0.0.0.0" : rest;
    if (expected_host.compare(0, strlen(endpoint.host), endpoint.host) != 0)
        return std::string("host ") + endpoint.host + " is not the start of the authority";
    return "";
}

TEST(EndpointUrlFuzz, random_urls_keep_fields_bounded_and_inputs_untouched)
{
    const int max_runs = 300000;
    const auto time_bound = std::chrono::seconds(4);
    std::mt19937 rng(20261205u);

    // The parser traces every URL; its output would only slow the run down.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);

    auto start = std::chrono::steady_clock::now();
    int runs = 0;
    std::string problem, url;
    for (; runs < max_runs && problem.empty(); runs++) {
        if (runs % 1024 == 0 && std::chrono::steady_clock::now() - start > time_bound)
            break;
        if (runs % 2 == 0)
            url = mutate(rng, seed_urls[rng() % (sizeof seed_urls / sizeof seed_urls[0])]);
        else
            url = (rng() % 4 == 0 ? "" : "srt://") + random_text(rng, 12);
        problem = check_parse(url, (conn_mode_t)(rng() % 3));
    }

    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(problem, "") << "run " << runs << ", URL: " << url;
    EXPECT_GT(runs, 1000);
    RecordProperty("runs", runs);
}

} // namespace
