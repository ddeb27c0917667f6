// The operator's page: the files of web/, compiled into the relay and served without a key.
#pragma once

#include <stddef.h>

#include "http/reply.h"

struct lws;

// One file of web/, named by its path below web/ ("app.js", "vendor/x/y.js").
struct dashboard_asset_t {
    const char *name;
    const unsigned char *data;
    size_t size;
    const char *etag; // quoted, from the file's SHA-1
};

// The generated table (dashboard_assets.cpp in the build tree), sorted by name.
extern const dashboard_asset_t g_dashboard_assets[];
extern const size_t g_dashboard_asset_count;

// The asset a request path names: "/" is index.html, "/ui/<name>" is <name>.
// nullptr for any other path and for a name not in the table. O(assets).
const dashboard_asset_t *find_dashboard_asset(const char *path);

/*
 * Answers a GET of "/" or of "/ui/...": the asset with its type, security
 * policy, cache headers and ETag (304 when If-None-Match holds it), or 404.
 * Returns true when it filled the reply; false for every other request, which
 * then goes through the key check. Runs on the HTTP thread. The page holds no
 * relay data: everything it shows comes from /api calls that carry the key.
 */
bool serve_dashboard_request(struct lws *wsi, http_reply_t &reply);
