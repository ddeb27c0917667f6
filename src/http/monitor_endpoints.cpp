// Operator views of live traffic: the connections list, kicking one, and a route's history.
#include "http/monitor_endpoints.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "http/read_endpoints.h"
#include "http/request.h"
#include "recording/recording_target.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/udp_endpoint.h"

// One connection as answered, copied out of its list.
struct connection_row_t {
    SRTSOCKET id;
    int32_t route_id;
    int32_t target_id; // -1: a source connection
    conn_details_t details;
    float rtt_ms;
    float mbps;
    traffic_totals_t figures;
    bool active;      // source side: the connection whose messages are forwarded
    bool source_time; // target side: messages go out with their origin time
    bool pending;     // held until the authorizer decides
    int64_t datagrams; // a UDP endpoint's datagrams in its direction; -1 for SRT
};

static connection_row_t row_of(const route_t &route, const target_t *target,
                               const conn_socket_t &conn)
{
    connection_side_t side = target == nullptr ? SIDE_SOURCE : SIDE_TARGET;
    return {conn.sock,
            route.id,
            target != nullptr ? target->id : -1,
            conn.details,
            (float)conn.stats.msRTT,
            conn.mbps,
            connection_figures(conn, side),
            target == nullptr && conn.sock == route.active_source,
            target != nullptr && target->endpoint.sourcetime != 0,
            false,
            !is_udp_sock(conn.sock) ? -1
            : target != nullptr     ? conn.stats.pktSentTotal
                                    : conn.stats.pktRecvTotal};
}

// Rounded to a thousandth, so the answer stays short and readable.
static json_t *json_figure(double value)
{
    return json_real(isfinite(value) ? round(value * 1000.0) / 1000.0 : 0.0);
}

static json_t *row_object(const connection_row_t &row)
{
    bool source = row.target_id == -1;
    char connected_at[32] = "";
    struct tm parts;
    if (gmtime_r(&row.details.connected_at, &parts) != nullptr)
        strftime(connected_at, sizeof connected_at, "%Y-%m-%dT%H:%M:%SZ", &parts);
    const char *mode =
        source ? source_mode_name(row.details.mode) : target_mode_name(row.details.mode);
    json_t *object = json_object();
    json_object_set_new(object, "id", json_integer(row.id));
    json_object_set_new(object, "route_id", json_integer(row.route_id));
    json_object_set_new(object, "target_id", source ? json_null() : json_integer(row.target_id));
    json_object_set_new(object, "side", json_string(source ? "source" : "target"));
    json_object_set_new(object, "state", json_string(row.pending ? "pending" : "connected"));
    json_object_set_new(object, "mode", json_string(mode != nullptr ? mode : ""));
    json_object_set_new(object, "peer", json_string(row.details.peer));
    // A stream id is the caller's own text: it may not be UTF-8.
    json_object_set_new(object, "stream_id", json_text(row.details.stream_id));
    json_object_set_new(object, "connected_at", json_string(connected_at));
    if (source)
        json_object_set_new(object, "active", json_boolean(row.active));
    else
        json_object_set_new(object, "source_time", json_boolean(row.source_time));
    json_object_set_new(object, "latency_ms", json_integer(row.details.latency_ms));
    json_object_set_new(object, "rtt_ms", json_figure(row.rtt_ms));
    json_object_set_new(object, "mbps", json_figure(row.mbps));
    json_object_set_new(object, "bytes", json_integer(row.figures.bytes));
    json_object_set_new(object, "packets_lost", json_integer(row.figures.packets_lost));
    json_object_set_new(object, "packets_retransmitted",
                        json_integer(row.figures.packets_retransmitted));
    json_object_set_new(object, "packets_dropped", json_integer(row.figures.packets_dropped));
    json_object_set_new(object, "encrypted", json_boolean(row.details.encrypted));
    json_object_set_new(object, "transport", json_string(row.datagrams >= 0 ? "udp" : "srt"));
    if (row.datagrams >= 0)
        json_object_set_new(object, "datagrams", json_integer(row.datagrams));
    return object;
}

// An open recording, listed as its target's one connection. Caller holds
// route.list_lock (the target's settings stay while it records).
static json_t *recording_row_object(int32_t route_id, const target_t &target,
                                    const recording_figures_t &recorded)
{
    recording_settings_t settings;
    char reason[128];
    parse_recording_url(target.endpoint.url, settings, reason, sizeof reason);
    json_t *object = json_object();
    json_object_set_new(object, "id", json_null());
    json_object_set_new(object, "route_id", json_integer(route_id));
    json_object_set_new(object, "target_id", json_integer(target.id));
    json_object_set_new(object, "side", json_string("target"));
    json_object_set_new(object, "mode", json_string("file"));
    json_object_set_new(object, "peer", json_text(settings.folder));
    json_object_set_new(object, "bytes", json_integer(recorded.bytes_written));
    json_object_set_new(object, "segments", json_integer(recorded.segments));
    json_object_set_new(object, "packets_dropped", json_integer(recorded.dropped));
    json_object_set_new(object, "free_bytes", json_integer(recorded.free_bytes));
    return object;
}

void handle_connections(http_reply_t &reply)
{
    const char *route_text = query_param("route_id");
    const char *target_text = query_param("target_id");
    bool one_route = route_text[0] != '\0';
    bool one_target = target_text[0] != '\0';
    int32_t route_id = atoi(route_text);
    int32_t target_id = atoi(target_text);

    std::vector<connection_row_t> rows;
    json_t *recordings = json_array();
    for (route_t &route : g_routes) {
        if (one_route && route.id != route_id)
            continue;
        pthread_mutex_lock(&route.list_lock);
        if (!one_target)
            for (const conn_socket_t &conn : route.conns)
                rows.push_back(row_of(route, nullptr, conn));
        for (const target_t &target : route.targets) {
            if (one_target && target.id != target_id)
                continue;
            for (const conn_socket_t &conn : target.conns)
                rows.push_back(row_of(route, &target, conn));
            recording_figures_t recorded;
            if (recording_figures_of(target, recorded))
                json_array_append_new(recordings, recording_row_object(route.id, target, recorded));
        }
        for (const held_caller_t &held : route.held) {
            if (one_target && held.target_id != target_id)
                continue;
            rows.push_back({held.conn.sock, route.id, held.target_id, held.conn.details, 0.0f,
                            0.0f, traffic_totals_t{}, false, false, true, -1});
        }
        pthread_mutex_unlock(&route.list_lock);
    }
    json_t *list = json_array();
    for (const connection_row_t &row : rows)
        json_array_append_new(list, row_object(row));
    json_array_extend(list, recordings);
    json_decref(recordings);
    set_json_reply(reply, list);
}

void handle_kick_connection(http_reply_t &reply)
{
    if (kick_connection(atoi(g_uri_segments[2])) == 0)
        set_body_text(reply, "Ok");
    else
        set_error_reply(reply, g_last_error);
}

void handle_history(http_reply_t &reply)
{
    // Copied out under list_lock, turned into JSON after it is released.
    std::vector<int64_t> times;
    std::vector<float> in_mbps;
    std::vector<std::pair<int32_t, std::vector<float>>> targets;
    const char *route_text = query_param("route_id");
    route_t *found = route_text[0] != '\0' ? find_route(atoi(route_text)) : nullptr;
    if (found != nullptr) {
        route_t &route = *found;
        pthread_mutex_lock(&route.list_lock);
        const route_history_t &history = route.history;
        int first = (history.next - history.count + HISTORY_SECONDS) % HISTORY_SECONDS;
        for (int i = 0; i < history.count; i++) {
            int slot = (first + i) % HISTORY_SECONDS;
            times.push_back(history.time[slot]);
            in_mbps.push_back(history.in_mbps[slot]);
        }
        for (const target_t &target : route.targets) {
            std::vector<float> &samples = targets.emplace_back(target.id, 0).second;
            for (int i = 0; i < history.count; i++)
                samples.push_back(target.out_mbps[(first + i) % HISTORY_SECONDS]);
        }
        pthread_mutex_unlock(&route.list_lock);
    }
    json_t *object = json_object();
    json_t *list = json_array();
    for (int64_t time : times)
        json_array_append_new(list, json_integer(time));
    json_object_set_new(object, "t", list);
    list = json_array();
    for (float mbps : in_mbps)
        json_array_append_new(list, json_figure(mbps));
    json_object_set_new(object, "in_mbps", list);
    json_t *by_target = json_object();
    for (const auto &target : targets) {
        list = json_array();
        for (float mbps : target.second)
            json_array_append_new(list, json_figure(mbps));
        char key[16];
        snprintf(key, sizeof key, "%d", target.first);
        json_object_set_new(by_target, key, list);
    }
    json_object_set_new(object, "targets", by_target);
    set_json_reply(reply, object);
}

void handle_endpoints(http_reply_t &reply)
{
    json_t *object = json_object();
    std::vector<std::pair<int32_t, endpoint_state_t>> targets;
    for (route_t &route : g_routes) {
        // Read under the route's lock, which guards the redial state; answered after.
        targets.clear();
        pthread_mutex_lock(&route.lock);
        endpoint_state_t source = endpoint_state(route, nullptr);
        for (const target_t &target : route.targets)
            targets.emplace_back(target.id, endpoint_state(route, &target));
        pthread_mutex_unlock(&route.lock);
        json_t *entry = json_object();
        json_object_set_new(entry, "source", json_string(endpoint_state_names[source]));
        json_t *by_target = json_object();
        for (const auto &target : targets) {
            char key[16];
            snprintf(key, sizeof key, "%d", target.first);
            json_object_set_new(by_target, key, json_string(endpoint_state_names[target.second]));
        }
        json_object_set_new(entry, "targets", by_target);
        char key[16];
        snprintf(key, sizeof key, "%d", route.id);
        json_object_set_new(object, key, entry);
    }
    set_json_reply(reply, object);
}
