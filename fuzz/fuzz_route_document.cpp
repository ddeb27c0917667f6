// libFuzzer target of the route document: any text loads or is refused; what loads saves alike.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "config/route_document.h"
#include "fuzz_check.h"

// A document without "url" reads as "" and is saved with "url":"", which loads alike.
static bool same_endpoint(const endpoint_settings_t &a, const endpoint_settings_t &b)
{
    return a.enabled == b.enabled && a.mode == b.mode && a.url == b.url;
}

static bool same_routes(const std::vector<route_settings_t> &a,
                        const std::vector<route_settings_t> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].id != b[i].id || !same_endpoint(a[i].source, b[i].source) ||
            a[i].targets.size() != b[i].targets.size())
            return false;
        for (size_t t = 0; t < a[i].targets.size(); t++)
            if (a[i].targets[t].id != b[i].targets[t].id ||
                !same_endpoint(a[i].targets[t].endpoint, b[i].targets[t].endpoint))
                return false;
    }
    return true;
}

// Route ids are unique, and target ids across the whole document.
static bool ids_unique(const std::vector<route_settings_t> &routes)
{
    std::set<int32_t> route_ids, target_ids;
    for (const route_settings_t &route : routes) {
        if (!route_ids.insert(route.id).second)
            return false;
        for (const target_settings_t &target : route.targets)
            if (!target_ids.insert(target.id).second)
                return false;
    }
    return true;
}

// Whether text stands exactly once in document.
static bool stands_once(const char *document, const char *text)
{
    const char *first = strstr(document, text);
    return first != nullptr && strstr(first + 1, text) == nullptr;
}

/*
 * The saved document is traced masked: it never shows a URL's passphrase where that
 * text stands once in it and is written there as it is (no JSON escape, not only
 * the mask's stars).
 */
static void check_masked(const char *document, const std::vector<route_settings_t> &routes)
{
    std::string masked = mask_passphrases(document);
    std::vector<const endpoint_settings_t *> endpoints;
    for (const route_settings_t &route : routes) {
        endpoints.push_back(&route.source);
        for (const target_settings_t &target : route.targets)
            endpoints.push_back(&target.endpoint);
    }
    for (const endpoint_settings_t *endpoint : endpoints) {
        endpoint_url_t parsed = {};
        if (parse_endpoint_url(parsed, endpoint->url.c_str()) != 0)
            continue;
        const char *passphrase = parsed.passphrase;
        bool verbatim = passphrase[0] != '\0' && strspn(passphrase, "*") < strlen(passphrase);
        for (const char *c = passphrase; *c != '\0'; c++)
            verbatim = verbatim && (unsigned char)*c >= 0x20 && *c != '"' && *c != '\\';
        if (verbatim && stands_once(document, passphrase))
            FUZZ_CHECK(masked.find(passphrase) == std::string::npos);
    }
}

static char *format_checked(const std::vector<route_settings_t> &routes)
{
    size_t size = 0;
    char *text = format_route_document(routes, &size);
    FUZZ_CHECK(text != nullptr && strlen(text) == size);
    return text;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<route_settings_t> routes;
    std::string error;
    int result = parse_route_document(text.c_str(), routes, error);
    mask_passphrases(text.c_str()); // the load traces the document masked
    if (result == -1) {
        FUZZ_CHECK(routes.empty());
        return 0;
    }
    FUZZ_CHECK(result == 0 && ids_unique(routes));

    char *saved = format_checked(routes);
    std::vector<route_settings_t> reloaded;
    FUZZ_CHECK(parse_route_document(saved, reloaded, error) == 0);
    FUZZ_CHECK(same_routes(routes, reloaded));
    char *saved_again = format_checked(reloaded);
    FUZZ_CHECK(strcmp(saved, saved_again) == 0);
    check_masked(saved, routes);
    free(saved);
    free(saved_again);
    return 0;
}
