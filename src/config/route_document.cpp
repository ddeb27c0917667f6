// The route document (JSON form of routes and targets) and the configuration file.
#include "config/route_document.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "routing/operations.h"
#include "srt/socket.h"

static void set_mode(json_t *object, const char *name)
{
    if (name != nullptr)
        json_object_set_new(object, "mode", json_string(name));
}

json_t *build_target_object(const target_t &target)
{
    json_t *object = json_object();
    json_object_set_new(object, "enabled", json_integer(target.endpoint.enabled));
    set_mode(object, target_mode_name(target.endpoint.mode));
    json_object_set_new(object, "url", json_string(target.endpoint.url));
    return object;
}

json_t *build_route_object(const route_t &route, bool with_targets)
{
    json_t *object = json_object();
    json_object_set_new(object, "source_id", json_integer(route.id));
    json_object_set_new(object, "enabled", json_integer(route.source.enabled));
    set_mode(object, source_mode_name(route.source.mode));
    json_object_set_new(object, "url", json_string(route.source.url));
    if (with_targets) {
        json_t *targets = json_object();
        for (const target_t &target : route.targets) {
            char key[16];
            snprintf(key, sizeof key, "%d", target.id);
            json_object_set_new(targets, key, build_target_object(target));
        }
        json_object_set_new(object, "targets", targets);
    }
    return object;
}

json_t *build_route_document(void)
{
    json_t *root = json_object();
    for (const route_t &route : g_routes) {
        char key[16];
        snprintf(key, sizeof key, "%d", route.id);
        json_object_set_new(root, key, build_route_object(route, true));
    }
    return root;
}

// Writes text to path atomically. Returns 0, or -1 with the old file untouched.
static int replace_file(const char *path, const char *text, size_t size)
{
    std::string temp = std::string(path) + ".tmp";
    FILE *file = fopen(temp.c_str(), "w");
    if (file == nullptr)
        return -1;
    bool ok = fwrite(text, 1, size, file) == size && fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (fclose(file) != 0)
        ok = false;
    if (!ok || rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

void save_routes_config(void)
{
    json_t *root = build_route_document();
    size_t size = json_dumpb(root, nullptr, 0, JSON_COMPACT);
    char *text = static_cast<char *>(malloc(size + 1));
    if (text == nullptr) {
        json_decref(root);
        printf("Error opening file.\n");
        return;
    }
    json_dumpb(root, text, size, JSON_COMPACT);
    text[size] = '\0';
    json_decref(root);
    if (replace_file(g_config_path, text, size) != 0)
        printf("Error opening file.\n");
    free(text);
}

// Reads the whole file; nullptr when it cannot be read. Only a regular file is
// read: a folder opens, but its end offset is LONG_MAX and nothing can be read.
static char *read_file(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return nullptr;
    char *text = nullptr;
    long size = -1;
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    if (size >= 0 && fseek(file, 0, SEEK_SET) == 0) {
        text = static_cast<char *>(malloc((size_t)size + 1));
        if (text != nullptr) {
            size_t got = fread(text, 1, (size_t)size, file);
            text[got] = '\0';
            if (ferror(file)) {
                free(text);
                text = nullptr;
            }
        }
    }
    fclose(file);
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

// Fills enabled, mode and url of an endpoint from its stored object.
static void read_endpoint(json_t *object, endpoint_url_t &endpoint, bool target)
{
    json_t *enabled = json_object_get(object, "enabled");
    // Any non-zero integer means on; stored as 1 so the 8-bit field cannot wrap.
    endpoint.enabled = json_is_integer(enabled) && json_integer_value(enabled) != 0 ? 1 : 0;
    endpoint.mode = mode_from_text(json_string_value(json_object_get(object, "mode")), target);
    const char *url = json_string_value(json_object_get(object, "url"));
    if (url == nullptr)
        return;
    if (strlen(url) >= sizeof endpoint.url)
        printf("url longer than %zu characters is cut: %s\n", sizeof endpoint.url - 1, url);
    snprintf(endpoint.url, sizeof endpoint.url, "%s", url);
    parse_endpoint_url(endpoint, url);
}

// Opens the base sockets of an enabled source and of its enabled targets.
static void open_route_sockets(route_t &route)
{
    int sock = create_srt_socket(&route.source);
    route.basesockin = sock;
    if (sock == -1) {
        snprintf(g_last_error, sizeof g_last_error, "Creating source's SRT Socket failed");
        log_message(LOG_LEVEL_INFO, g_last_error);
    } else if (register_source_socket(route, sock, false) == -1) {
        snprintf(g_last_error, sizeof g_last_error,
                 "Registering source's SRT Socket to epoll failed: %s", srt_getlasterror_str());
        log_message(LOG_LEVEL_INFO, g_last_error);
    }
    for (target_t &target : route.targets) {
        if (!target.endpoint.enabled)
            continue;
        sock = create_srt_socket(&target.endpoint);
        target.basesockout = sock;
        if (sock == -1) {
            snprintf(g_last_error, sizeof g_last_error, "Creating target's SRT Socket failed");
            log_message(LOG_LEVEL_INFO, g_last_error);
        } else if (register_target_socket(route, sock, false) == -1) {
            snprintf(g_last_error, sizeof g_last_error,
                     "Registering target's SRT Socket to epoll failed: %s", srt_getlasterror_str());
            log_message(LOG_LEVEL_INFO, g_last_error);
        }
    }
}

// Reads the "targets" object of a route. Returns the largest target id read, or -1.
static int32_t load_targets(json_t *targets, route_t &route, std::set<int32_t> &target_ids)
{
    int32_t largest = -1;
    if (!json_is_object(targets))
        return largest;
    const char *key;
    json_t *value;
    json_object_foreach(targets, key, value)
    {
        int32_t id = atoi(key);
        if (id > largest)
            largest = id;
        if (!target_ids.insert(id).second) {
            printf("target id %d is stored twice; the later one is skipped\n", id);
            continue;
        }
        target_t &target = append_target(route, id);
        if (json_is_object(value))
            read_endpoint(value, target.endpoint, true);
    }
    return largest;
}

void load_routes_config(void)
{
    char *text = read_file(g_config_path);
    if (text == nullptr) {
        printf("Error opening file.\n");
        return;
    }
    json_error_t error;
    json_t *root = json_loads(text, 0, &error);
    if (root == nullptr || !json_is_object(root)) {
        printf("Error parsing JSON: %s\n", root == nullptr ? error.text : "");
        json_decref(root);
        free(text);
        return;
    }
    discard_all_routes();
    printf("=== load str:%s\n", text);

    int32_t largest_route = -1;
    int32_t largest_target = -1;
    std::set<int32_t> route_ids;
    std::set<int32_t> target_ids;
    const char *key;
    json_t *value;
    json_object_foreach(root, key, value)
    {
        if (!json_is_object(value))
            continue;
        int32_t id = atoi(key);
        if (id > largest_route)
            largest_route = id;
        if (!route_ids.insert(id).second) {
            printf("route id %d is stored twice; the later one is skipped\n", id);
            continue;
        }
        std::list<route_t> holder;
        if (build_route_record(holder, id) != 0)
            continue;
        route_t &route = holder.front();
        read_endpoint(value, route.source, false);
        int32_t target = load_targets(json_object_get(value, "targets"), route, target_ids);
        if (target > largest_target)
            largest_target = target;
        if (route.source.enabled)
            open_route_sockets(route);
        g_routes.splice(g_routes.begin(), holder);
        int err = start_route_threads(route);
        if (err != 0)
            printf("cannot create connection thread: %s\n", strerror(err));
    }
    advance_id_counters(largest_route, largest_target);
    json_decref(root);
    free(text);
}
