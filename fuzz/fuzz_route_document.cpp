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
    free(saved);
    free(saved_again);
    return 0;
}
