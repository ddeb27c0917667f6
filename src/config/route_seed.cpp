// The route seed: a read-only route document that becomes the route file at first start.
#include "config/route_seed.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <set>

#include <jansson.h>

#include "config/config_file.h"
#include "core/log.h"
#include "srt/endpoint.h"

// Route and target ids are taken modulo 65535.
#define ID_LIMIT 65535

static int fault(std::string &reason, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Fills reason; returns -1 for the caller to pass on.
static int fault(std::string &reason, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    reason = text;
    return -1;
}

// A decimal id as the relay writes one (no sign, no leading zero) below ID_LIMIT; else -1.
static long id_of(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length > 5 || (name[0] == '0' && length > 1) ||
        strspn(name, "0123456789") != length)
        return -1;
    long id = strtol(name, nullptr, 10);
    return id < ID_LIMIT ? id : -1;
}

static bool is_one_of(const char *text, const char *const names[])
{
    for (int i = 0; names[i] != nullptr; i++) {
        if (strcmp(text, names[i]) == 0)
            return true;
    }
    return false;
}

/*
 * What is wrong with url, or nullptr: "srt://host:port[?options]" with a port
 * from 1 to 65535; when the endpoint calls its peer (calls), the host is an
 * IPv4 address or a bracketed IPv6 one. The URL itself is never quoted back:
 * it may hold a passphrase.
 */
static const char *url_fault(const char *url, bool calls)
{
    if (strncmp(url, "srt://", 6) != 0)
        return "does not start with srt://";
    std::string authority(url + 6, strcspn(url + 6, "?"));
    std::string host;
    size_t port_at = std::string::npos;
    int family = AF_INET;
    if (!authority.empty() && authority[0] == '[') {
        size_t bracket = authority.find(']');
        if (bracket == std::string::npos)
            return "has no ] after its IPv6 address";
        host = authority.substr(1, bracket - 1);
        family = AF_INET6;
        if (authority.compare(bracket + 1, 1, ":") == 0)
            port_at = bracket + 2;
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port_at = colon + 1;
    }
    if (port_at == std::string::npos)
        return "has no port";
    std::string port = authority.substr(port_at);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || atoi(port.c_str()) < 1 ||
        atoi(port.c_str()) > 65535)
        return "has no port from 1 to 65535";
    unsigned char address[sizeof(struct in6_addr)];
    if (calls && inet_pton(family, host.c_str(), address) != 1)
        return "names no IP address to call (host names are not looked up)";
    return nullptr;
}

// Every member of object is in allowed.
static int check_members(json_t *object, const char *const allowed[], const std::string &where,
                         std::string &reason)
{
    const char *key;
    json_t *value;
    json_object_foreach(object, key, value)
    {
        if (!is_one_of(key, allowed))
            return fault(reason, "%s: unknown member \"%.40s\"", where.c_str(), key);
    }
    return 0;
}

static int check_endpoint(json_t *object, bool target, const std::string &where,
                          std::string &reason)
{
    static const char *const source_modes[] = {"listen", "pull", "rendezvous", nullptr};
    static const char *const target_modes[] = {"listen", "push", "pull", "rendezvous", nullptr};
    json_t *enabled = json_object_get(object, "enabled");
    if (enabled != nullptr && (!json_is_integer(enabled) || json_integer_value(enabled) < 0 ||
                               json_integer_value(enabled) > 1))
        return fault(reason, "%s: \"enabled\" is not 0 or 1", where.c_str());
    json_t *mode = json_object_get(object, "mode");
    const char *mode_text = json_string_value(mode);
    if (mode != nullptr &&
        (mode_text == nullptr || !is_one_of(mode_text, target ? target_modes : source_modes)))
        return fault(reason, "%s: \"mode\" is not %s", where.c_str(),
                     target ? "listen, push, pull or rendezvous" : "listen, pull or rendezvous");
    json_t *url = json_object_get(object, "url");
    if (url != nullptr && !json_is_string(url))
        return fault(reason, "%s: \"url\" is not a string", where.c_str());
    const char *url_text = json_string_value(url);
    if (url_text == nullptr || url_text[0] == '\0') {
        if (json_integer_value(enabled) == 1)
            return fault(reason, "%s: enabled without a \"url\"", where.c_str());
        return 0;
    }
    bool calls = mode_text != nullptr && strcmp(mode_text, "listen") != 0;
    const char *problem = url_fault(url_text, calls);
    if (problem != nullptr)
        return fault(reason, "%s: \"url\" %s", where.c_str(), problem);
    return 0;
}

static int check_targets(json_t *targets, const std::string &route_where,
                         std::set<long> &target_ids, std::string &reason)
{
    static const char *const members[] = {"enabled", "mode", "url", nullptr};
    if (!json_is_object(targets))
        return fault(reason, "%s: \"targets\" is not an object", route_where.c_str());
    const char *key;
    json_t *target;
    json_object_foreach(targets, key, target)
    {
        std::string where = route_where + ", target \"" + std::string(key).substr(0, 40) + "\"";
        long id = id_of(key);
        if (id < 0)
            return fault(reason, "%s: the name is not a target id (a number below 65535)",
                         where.c_str());
        if (!target_ids.insert(id).second)
            return fault(reason, "%s: the id is used twice", where.c_str());
        if (!json_is_object(target))
            return fault(reason, "%s: not an object", where.c_str());
        if (check_members(target, members, where, reason) != 0 ||
            check_endpoint(target, true, where, reason) != 0)
            return -1;
    }
    return 0;
}

static int check_routes(json_t *root, std::string &reason)
{
    static const char *const members[] = {"source_id", "enabled", "mode",
                                          "url",       "targets", nullptr};
    std::set<long> target_ids;
    const char *key;
    json_t *route;
    json_object_foreach(root, key, route)
    {
        std::string where = "route \"" + std::string(key).substr(0, 40) + "\"";
        long id = id_of(key);
        if (id < 0)
            return fault(reason, "%s: the name is not a route id (a number below 65535)",
                         where.c_str());
        if (!json_is_object(route))
            return fault(reason, "%s: not an object", where.c_str());
        if (check_members(route, members, where, reason) != 0)
            return -1;
        json_t *source_id = json_object_get(route, "source_id");
        if (source_id != nullptr &&
            (!json_is_integer(source_id) || json_integer_value(source_id) != id))
            return fault(reason, "%s: \"source_id\" is not the route's id", where.c_str());
        if (check_endpoint(route, false, where, reason) != 0)
            return -1;
        json_t *targets = json_object_get(route, "targets");
        if (targets != nullptr && check_targets(targets, where, target_ids, reason) != 0)
            return -1;
    }
    return 0;
}

int check_route_document(const char *text, size_t size, std::string &reason)
{
    json_error_t error;
    json_t *root = json_loadb(text, size, JSON_REJECT_DUPLICATES, &error);
    if (root == nullptr)
        return fault(reason, "not JSON: %s (line %d, column %d)", error.text, error.line,
                     error.column);
    int result =
        json_is_object(root) ? check_routes(root, reason) : fault(reason, "not a JSON object");
    json_decref(root);
    return result;
}

int seed_route_file(const char *seed_path, const char *config_path)
{
    struct stat info;
    if (seed_path[0] == '\0')
        return 0;
    if (lstat(config_path, &info) == 0) {
        console_printf("Route file %s exists; the seed %s is not used\n", config_path, seed_path);
        return 0;
    }
    if (errno != ENOENT)
        return 0; // not ours to judge: the load says what is wrong with it
    errno = 0;
    size_t size = 0;
    char *text = read_config_file(seed_path, &size);
    if (text == nullptr) {
        console_printf("Route seed %s cannot be read: %s\n", seed_path,
                       errno != 0 ? strerror(errno) : "not a regular file");
        return -1;
    }
    std::string reason;
    int result = check_route_document(text, size, reason);
    if (result != 0) {
        // A parse error may quote the text near it, passphrase and all.
        console_printf("Route seed %s cannot be used: %s\n", seed_path,
                       mask_passphrases(reason.c_str()).c_str());
    } else if (write_config_file(config_path, text, size) != 0) {
        console_printf("Route seed %s cannot be copied to %s: %s\n", seed_path, config_path,
                       strerror(errno));
        result = -1;
    } else {
        console_printf("Route file %s made from the seed %s\n", config_path, seed_path);
    }
    free(text);
    return result;
}
