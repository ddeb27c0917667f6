// GET endpoints of the control API: route document, activity, settings, stats, log tail.
#include "http/read_endpoints.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/command_output.h"
#include "core/log.h"
#include "core/settings.h"
#include "http/request.h"
#include "routing/registry.h"
#include "routing/route_store.h"
#include "routing/stats.h"

route_t *find_route(int32_t id)
{
    for (route_t &route : g_routes) {
        if (route.id == id)
            return &route;
    }
    return nullptr;
}

static int32_t route_id_from_path(void)
{
    return atoi(g_uri_segments[2]);
}

/*
 * The last 100 lines of today's log file under g_log_dir, through "tail". The
 * body keeps whole pieces (fgets reads, at most 1023 characters each) while
 * they fit within 3999 bytes; the first piece that does not fit ends reading.
 * tail runs without a shell (the container image has none), so the path, which
 * the environment may set, is passed as it is.
 */
void handle_logs(http_reply_t &reply)
{
    char day[TIME_TEXT_SIZE];
    char path[sizeof g_log_dir + TIME_TEXT_SIZE + 16];
    reply.text = true;

    format_time_custom("%Y%m%d", day, sizeof day);
    snprintf(path, sizeof path, "%s/mirevo-%s.log", g_log_dir, day);
    const char *const argv[] = {"tail", "-n", "100", "--", path, nullptr};
    command_output_t tail;
    if (open_command_output(argv, tail) != 0) {
        char message[sizeof path + 32];
        console_printf("Failed to view logs file\n");
        snprintf(message, sizeof message, "Failed to view logs file: %s\n", path);
        set_body_text(reply, message);
        return;
    }

    char *body = static_cast<char *>(malloc(LOG_TAIL_BODY_SIZE));
    int32_t length = 0;
    char piece[LOG_PIECE_SIZE];
    while (body != nullptr && fgets(piece, sizeof piece, tail.output) != nullptr) {
        size_t piece_length = strlen(piece);
        if ((size_t)length + piece_length > LOG_TAIL_BODY_SIZE - 1)
            break;
        memcpy(body + length, piece, piece_length);
        length += (int32_t)piece_length;
    }
    close_command_output(tail);
    set_body_bytes(reply, body, length);
}

void handle_all_info(http_reply_t &reply)
{
    std::vector<route_settings_t> routes;
    collect_route_settings(routes);
    set_json_reply(reply, route_document_object(routes));
}

void handle_active_routes(http_reply_t &reply)
{
    json_t *ids = json_array();
    for (route_t &route : g_routes) {
        if (count_conns(route, route.conns) > 0)
            json_array_append_new(ids, json_integer(route.id));
    }
    set_json_reply(reply, ids);
}

void handle_routes(http_reply_t &reply)
{
    json_t *object = json_object();
    for (const route_t &route : g_routes) {
        char key[16];
        snprintf(key, sizeof key, "%d", route.id);
        json_t *state = json_object();
        json_object_set_new(state, "enabled", json_integer(route.source.enabled));
        json_object_set_new(object, key, state);
    }
    set_json_reply(reply, object);
}

void handle_active_targets(http_reply_t &reply)
{
    json_t *ids = json_array();
    route_t *route = find_route(route_id_from_path());
    if (route != nullptr) {
        for (target_t &target : route->targets) {
            if (count_conns(*route, target.conns) > 0)
                json_array_append_new(ids, json_integer(target.id));
        }
    }
    set_json_reply(reply, ids);
}

void handle_route_source(http_reply_t &reply)
{
    route_t *route = find_route(route_id_from_path());
    set_json_reply(reply, route != nullptr ? route_settings_object(route_settings_of(*route), false)
                                           : json_object());
}

void handle_route_targets(http_reply_t &reply)
{
    json_t *object = json_object();
    route_t *route = find_route(route_id_from_path());
    if (route != nullptr) {
        for (const target_t &target : route->targets) {
            char key[16];
            snprintf(key, sizeof key, "%d", target.id);
            json_object_set_new(object, key,
                                target_settings_object(endpoint_settings_of(target.endpoint)));
        }
    }
    set_json_reply(reply, object);
}

// 1000 times the RTT figure in single precision, truncated; 0 when it cannot
// be held in an int (a garbage figure must not make the conversion undefined).
static int rtt_in_thousandths(float ms_rtt)
{
    float scaled = ms_rtt * 1000.0f;
    if (!isfinite(scaled) || scaled >= 2147483520.0f || scaled <= -2147483520.0f)
        return 0;
    return (int)scaled;
}

/*
 * "is_source" 1 selects the route's source whatever "target_id" says; 0 (also
 * absent or not a number) with a "target_id" selects that target; anything
 * else, or no "route_id", gives {}.
 */
void handle_stats(http_reply_t &reply)
{
    json_t *object = json_object();
    set_json_reply(reply, object);

    const char *route_text = query_param("route_id");
    const char *target_text = query_param("target_id");
    if (route_text[0] == '\0')
        return;
    int is_source = atoi(query_param("is_source"));
    int subscribers = 0;
    int pkt_loss_total = 0;
    int pkt_loss = 0;
    float ms_rtt = 0.0f;
    int found = 0;
    if (is_source == 1)
        found = get_endpoint_stats(atoi(route_text), -1, &subscribers, &pkt_loss_total, &pkt_loss,
                                   &ms_rtt);
    else if (is_source == 0 && target_text[0] != '\0')
        found = get_endpoint_stats(atoi(route_text), atoi(target_text), &subscribers,
                                   &pkt_loss_total, &pkt_loss, &ms_rtt);
    if (found != 1)
        return;
    json_object_set_new(object, "pktLossTotal", json_integer(pkt_loss_total));
    json_object_set_new(object, "pktLoss", json_integer(pkt_loss));
    json_object_set_new(object, "msRTT", json_integer(rtt_in_thousandths(ms_rtt)));
    if (subscribers != 0)
        json_object_set_new(object, "subscribers", json_integer(subscribers));
}
