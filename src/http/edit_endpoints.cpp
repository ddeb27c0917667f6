// Route editing endpoints: create, delete, switch and reconfigure routes and targets.
#include "http/edit_endpoints.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "http/request.h"
#include "routing/operations.h"
#include "routing/registry.h"

static const char ok_text[] = "Ok";

conn_mode_t source_mode_from_name(const char *name)
{
    if (strcmp(name, "pull") == 0 || strcmp(name, "Pull") == 0)
        return CONN_MODE_CALLER;
    if (strcmp(name, "rendezvous") == 0 || strcmp(name, "Rendezvous") == 0)
        return CONN_MODE_RENDEZVOUS;
    return CONN_MODE_LISTEN;
}

conn_mode_t target_mode_from_name(const char *name)
{
    if (strcmp(name, "push") == 0 || strcmp(name, "Push") == 0)
        return CONN_MODE_CALLER;
    if (strcmp(name, "rendezvous") == 0 || strcmp(name, "Rendezvous") == 0)
        return CONN_MODE_RENDEZVOUS;
    return CONN_MODE_LISTEN;
}

static int32_t route_id_from_path(void)
{
    return atoi(g_uri_segments[2]);
}

static int32_t target_id_from_path(void)
{
    return atoi(g_uri_segments[4]);
}

// "Ok", or the reason the operation left in g_last_error.
static void reply_operation_result(http_reply_t &reply, int32_t result)
{
    if (result == 0)
        set_body_text(reply, ok_text);
    else
        set_error_reply(reply, g_last_error);
}

// A new id of 1 or more as {key: id}; anything below 1 counts as a failure
// (an id of 0 only appears after the counters wrap, and the allocator skips it).
static void reply_new_id(http_reply_t &reply, const char *key, int32_t id)
{
    if (id == OPERATION_SAVE_FAILED) {
        set_error_reply(reply, g_last_error);
        return;
    }
    if (id < 1) {
        set_error_reply(reply, "Can not create route");
        return;
    }
    json_t *object = json_object();
    json_object_set_new(object, key, json_integer(id));
    set_json_reply(reply, object);
}

void handle_create_route(http_reply_t &reply)
{
    reply_new_id(reply, "route_id", create_route());
}

void handle_add_target(http_reply_t &reply)
{
    reply_new_id(reply, "target_id", add_target(route_id_from_path()));
}

// "Ok", the reason a save failed, or "Not Found".
static void reply_deletion(http_reply_t &reply, int32_t result)
{
    if (result == 0)
        set_body_text(reply, ok_text);
    else
        set_error_reply(reply, result == OPERATION_SAVE_FAILED ? g_last_error : "Not Found");
}

void handle_delete_route(http_reply_t &reply)
{
    reply_deletion(reply, delete_route(route_id_from_path()));
}

void handle_delete_target(http_reply_t &reply)
{
    reply_deletion(reply, delete_target(route_id_from_path(), target_id_from_path()));
}

void handle_enable_source(http_reply_t &reply)
{
    const char *enabled = query_param("enabled");
    if (enabled[0] == '\0') {
        set_error_reply(reply, "enabled setting not found");
        return;
    }
    reply_operation_result(reply, enable_source(route_id_from_path(), atoi(enabled)));
}

void handle_enable_target(http_reply_t &reply)
{
    const char *enabled = query_param("enabled");
    if (enabled[0] == '\0') {
        set_error_reply(reply, "enabled setting not found");
        return;
    }
    reply_operation_result(
        reply, enable_target(route_id_from_path(), target_id_from_path(), atoi(enabled)));
}

void handle_update_source(http_reply_t &reply)
{
    const char *url = query_param("url");
    const char *mode = query_param("mode");
    const char *enabled = query_param("enabled");
    console_printf("=== update_source:%s %s %s\n", enabled, mode, mask_passphrases(url).c_str());
    if (enabled[0] == '\0' || mode[0] == '\0' || url[0] == '\0') {
        set_error_reply(reply, "enabled, mode and url setting not found");
        return;
    }
    reply_operation_result(reply, update_source(route_id_from_path(), atoi(enabled),
                                                source_mode_from_name(mode), url));
}

void handle_update_target(http_reply_t &reply)
{
    const char *url = query_param("url");
    const char *mode = query_param("mode");
    const char *enabled = query_param("enabled");
    console_printf("=== update_target:%s %s %s\n", enabled, mode, mask_passphrases(url).c_str());
    if (enabled[0] == '\0' || mode[0] == '\0' || url[0] == '\0') {
        set_error_reply(reply, "enabled, mode and url setting not found");
        return;
    }
    reply_operation_result(reply, update_target(route_id_from_path(), target_id_from_path(),
                                                atoi(enabled), target_mode_from_name(mode), url));
}
