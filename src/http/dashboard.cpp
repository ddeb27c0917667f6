// The operator's page: the files of web/, compiled into the relay and served without a key.
#include "http/dashboard.h"

#include <libwebsockets.h>
#include <stdlib.h>
#include <string.h>

#include "http/request.h"

#define DASHBOARD_PREFIX "/ui/"
// Vendored files sit in folders named with their version, so they may be cached for good.
#define DASHBOARD_VENDOR_PREFIX "vendor/"
#define IF_NONE_MATCH_SIZE 256

struct content_type_t {
    const char *extension;
    const char *type;
};

static const content_type_t content_types[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".txt", "text/plain; charset=utf-8"},
    {"LICENSE", "text/plain; charset=utf-8"},
};

// The type for a name by its ending; unknown endings are plain bytes.
static const char *content_type_of(const char *name)
{
    size_t name_length = strlen(name);
    for (const content_type_t &entry : content_types) {
        size_t length = strlen(entry.extension);
        if (name_length >= length && strcmp(name + name_length - length, entry.extension) == 0)
            return entry.type;
    }
    return "application/octet-stream";
}

const dashboard_asset_t *find_dashboard_asset(const char *path)
{
    const char *name = nullptr;
    if (strcmp(path, "/") == 0)
        name = "index.html";
    else if (strncmp(path, DASHBOARD_PREFIX, strlen(DASHBOARD_PREFIX)) == 0)
        name = path + strlen(DASHBOARD_PREFIX);
    if (name == nullptr)
        return nullptr;
    // Names are compared whole against the table, so no path can reach past it.
    for (size_t i = 0; i < g_dashboard_asset_count; i++) {
        if (strcmp(g_dashboard_assets[i].name, name) == 0)
            return &g_dashboard_assets[i];
    }
    return nullptr;
}

// True when the request's If-None-Match names the asset's ETag (a list may hold several).
static bool etag_matches(struct lws *wsi, const dashboard_asset_t &asset)
{
    char if_none_match[IF_NONE_MATCH_SIZE];
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_IF_NONE_MATCH);
    if (total <= 0 || total >= (int)sizeof if_none_match)
        return false;
    if (lws_hdr_copy(wsi, if_none_match, sizeof if_none_match, WSI_TOKEN_HTTP_IF_NONE_MATCH) < 0)
        return false;
    return strstr(if_none_match, asset.etag) != nullptr;
}

bool serve_dashboard_request(struct lws *wsi, http_reply_t &reply)
{
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI);
    char path[URI_PATH_SIZE];
    if (total <= 0 || total >= (int)sizeof path ||
        lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0)
        return false;
    if (strcmp(path, "/") != 0 && strncmp(path, DASHBOARD_PREFIX, strlen(DASHBOARD_PREFIX)) != 0)
        return false;

    // No inline script or style anywhere on the page, and nothing from elsewhere.
    add_reply_header(reply, "Content-Security-Policy:", "default-src 'self'");
    add_reply_header(reply, "X-Content-Type-Options:", "nosniff");
    const dashboard_asset_t *asset = find_dashboard_asset(path);
    if (asset == nullptr) {
        reply.status = HTTP_STATUS_NOT_FOUND;
        reply.content_type = "text/plain; charset=utf-8";
        add_reply_header(reply, "Cache-Control:", "no-store");
        set_body_text(reply, "Not found\n");
        return true;
    }
    bool vendored =
        strncmp(asset->name, DASHBOARD_VENDOR_PREFIX, strlen(DASHBOARD_VENDOR_PREFIX)) == 0;
    add_reply_header(
        reply, "Cache-Control:", vendored ? "public, max-age=31536000, immutable" : "no-cache");
    add_reply_header(reply, "ETag:", asset->etag);
    reply.content_type = content_type_of(asset->name);
    if (etag_matches(wsi, *asset)) {
        reply.status = HTTP_STATUS_NOT_MODIFIED;
        return true;
    }
    char *body = static_cast<char *>(malloc(asset->size > 0 ? asset->size : 1));
    if (body == nullptr) {
        reply.status = HTTP_STATUS_SERVICE_UNAVAILABLE;
        return true;
    }
    memcpy(body, asset->data, asset->size);
    set_body_bytes(reply, body, (int32_t)asset->size);
    reply.status = HTTP_STATUS_OK;
    return true;
}
