// The reply under construction of one control API request and its kinds.
#include "http/reply.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// Length of the UTF-8 sequence that starts text (1 to 4), or 0 when none does:
// a stray or cut continuation, an overlong form, a surrogate, beyond U+10FFFF.
static size_t utf8_sequence_length(const unsigned char *text)
{
    unsigned char first = text[0];
    if (first < 0x80)
        return 1;
    size_t length = 0;
    uint32_t code = 0;
    if (first >= 0xc2 && first <= 0xdf) {
        length = 2;
        code = first & 0x1f;
    } else if (first >= 0xe0 && first <= 0xef) {
        length = 3;
        code = first & 0x0f;
    } else if (first >= 0xf0 && first <= 0xf4) {
        length = 4;
        code = first & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xc0) != 0x80) // a NUL ends it too
            return 0;
        code = (code << 6) | (text[i] & 0x3f);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff)))
        return 0;
    if (length == 4 && (code < 0x10000 || code > 0x10ffff))
        return 0;
    return length;
}

json_t *json_text(const char *text)
{
    json_t *value = json_string(text);
    if (value != nullptr)
        return value;
    std::string shown;
    for (const unsigned char *at = (const unsigned char *)text; *at != '\0';) {
        size_t length = utf8_sequence_length(at);
        if (*at == '\\') {
            shown += "\\\\";
            at++;
        } else if (length == 0) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", *at);
            shown += escaped;
            at++;
        } else {
            shown.append((const char *)at, length);
            at += length;
        }
    }
    return json_string(shown.c_str());
}

void set_json_reply(http_reply_t &reply, json_t *value)
{
    if (reply.json != nullptr)
        json_decref(reply.json);
    reply.json = value;
}

void set_error_reply(http_reply_t &reply, const char *message)
{
    json_t *object = json_object();
    json_object_set_new(object, "error", json_text(message));
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
