// The reply under construction of one control API request and its kinds.
#include "http/reply.h"

#include <stdlib.h>
#include <string.h>

void set_json_reply(http_reply_t &reply, json_t *value)
{
    if (reply.json != nullptr)
        json_decref(reply.json);
    reply.json = value;
}

void set_error_reply(http_reply_t &reply, const char *message)
{
    json_t *object = json_object();
    json_object_set_new(object, "error", json_string(message));
    set_json_reply(reply, object);
    reply.success = false;
}

void set_body_bytes(http_reply_t &reply, char *body, int32_t length)
{
    free(reply.body);
    reply.body = body;
    reply.body_length = body != nullptr ? length : 0;
}

void set_body_copy(http_reply_t &reply, const char *data, size_t length)
{
    char *body = static_cast<char *>(malloc(length > 0 ? length : 1));
    if (body != nullptr)
        memcpy(body, data, length);
    set_body_bytes(reply, body, (int32_t)length);
}

void set_body_text(http_reply_t &reply, const char *text)
{
    set_body_copy(reply, text, strlen(text));
}

void add_reply_header(http_reply_t &reply, const char *name, const char *value)
{
    if (reply.extra_header_count < HTTP_EXTRA_HEADERS_MAX)
        reply.extra_headers[reply.extra_header_count++] = {name, value};
}

void serialise_reply_json(http_reply_t &reply)
{
    if (reply.json == nullptr)
        return;
    // Figures of the monitoring views are reals: ten digits keep them short.
    const size_t flags = JSON_COMPACT | JSON_REAL_PRECISION(10);
    size_t size = json_dumpb(reply.json, nullptr, 0, flags);
    char *body = size > 0 ? static_cast<char *>(malloc(size)) : nullptr;
    if (body != nullptr && json_dumpb(reply.json, body, size, flags) != size) {
        free(body);
        body = nullptr;
    }
    set_body_bytes(reply, body, (int32_t)size);
    json_decref(reply.json);
    reply.json = nullptr;
}

void release_reply(http_reply_t &reply)
{
    free(reply.body);
    reply.body = nullptr;
    reply.body_length = 0;
    if (reply.json != nullptr)
        json_decref(reply.json);
    reply.json = nullptr;
}
