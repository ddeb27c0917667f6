// The route document: stored routes as plain settings records and as compact JSON.
#include "config/route_document.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>

#include "core/log.h"

static void set_mode(json_t *object, const char *name)
{
    if (name != nullptr)
        json_object_set_new(object, "mode", json_string(name));
}

static void set_endpoint_members(json_t *object, const endpoint_settings_t &endpoint,
                                 const char *mode_name)
{
    json_object_set_new(object, "enabled", json_integer(endpoint.enabled));
    set_mode(object, mode_name);
    // json_string refuses text that is not UTF-8; the member is then left out.
    json_object_set_new(object, "url", json_string(endpoint.url.c_str()));
}

json_t *target_settings_object(const endpoint_settings_t &endpoint)
{
    json_t *object = json_object();
    set_endpoint_members(object, endpoint, target_mode_name(endpoint.mode));
    return object;
}

json_t *route_settings_object(const route_settings_t &route, bool with_targets)
{
    json_t *object = json_object();
    json_object_set_new(object, "source_id", json_integer(route.id));
    set_endpoint_members(object, route.source, source_mode_name(route.source.mode));
    if (with_targets) {
        json_t *targets = json_object();
        for (const target_settings_t &target : route.targets) {
            char key[16];
            snprintf(key, sizeof key, "%d", target.id);
            json_object_set_new(targets, key, target_settings_object(target.endpoint));
        }
        json_object_set_new(object, "targets", targets);
    }
    return object;
}

json_t *route_document_object(const std::vector<route_settings_t> &routes)
{
    json_t *root = json_object();
    for (const route_settings_t &route : routes) {
        char key[16];
        snprintf(key, sizeof key, "%d", route.id);
        json_object_set_new(root, key, route_settings_object(route, true));
    }
    return root;
}

char *format_route_document(const std::vector<route_settings_t> &routes, size_t *size)
{
    json_t *root = route_document_object(routes);
    size_t length = json_dumpb(root, nullptr, 0, JSON_COMPACT);
    char *text = static_cast<char *>(malloc(length + 1));
    if (text != nullptr) {
        json_dumpb(root, text, length, JSON_COMPACT);
        text[length] = '\0';
        *size = length;
    }
    json_decref(root);
    return text;
}

static conn_mode_t mode_from_text(const char *text, bool target)
{
    if (text == nullptr)
        return CONN_MODE_LISTEN;
    if (strcmp(text, "pull") == 0 || (target && strcmp(text, "push") == 0))
        return CONN_MODE_CALLER;
    if (strcmp(text, "rendezvous") == 0)
        return CONN_MODE_RENDEZVOUS;
    return CONN_MODE_LISTEN;
}

static void read_endpoint(json_t *object, endpoint_settings_t &endpoint, bool target)
{
    json_t *enabled = json_object_get(object, "enabled");
    endpoint.enabled = json_is_integer(enabled) && json_integer_value(enabled) != 0 ? 1 : 0;
    endpoint.mode = mode_from_text(json_string_value(json_object_get(object, "mode")), target);
    const char *url = json_string_value(json_object_get(object, "url"));
    endpoint.has_url = url != nullptr;
    endpoint.url = url != nullptr ? url : "";
}

static void read_targets(json_t *targets, route_settings_t &route, std::set<int32_t> &seen)
{
    if (!json_is_object(targets))
        return;
    const char *key;
    json_t *value;
    json_object_foreach(targets, key, value)
    {
        int32_t id = atoi(key);
        if (!seen.insert(id).second) {
            console_printf("target id %d is stored twice; the later one is skipped\n", id);
            continue;
        }
        target_settings_t &target = route.targets.emplace_back();
        target.id = id;
        if (json_is_object(value))
            read_endpoint(value, target.endpoint, true);
    }
}

int parse_route_document(const char *text, std::vector<route_settings_t> &routes,
                         std::string &error)
{
    json_error_t parse_error;
    json_t *root = json_loads(text, 0, &parse_error);
    if (root == nullptr || !json_is_object(root)) {
        error = root == nullptr ? parse_error.text : "";
        json_decref(root);
        return -1;
    }
    std::set<int32_t> route_ids;
    std::set<int32_t> target_ids;
    const char *key;
    json_t *value;
    json_object_foreach(root, key, value)
    {
        if (!json_is_object(value))
            continue;
        int32_t id = atoi(key);
        if (!route_ids.insert(id).second) {
            console_printf("route id %d is stored twice; the later one is skipped\n", id);
            continue;
        }
        route_settings_t &route = routes.emplace_back();
        route.id = id;
        read_endpoint(value, route.source, false);
        read_targets(json_object_get(value, "targets"), route, target_ids);
    }
    json_decref(root);
    return 0;
}
