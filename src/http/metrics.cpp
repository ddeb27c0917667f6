// Prometheus metrics of the relay and its routes, in the text exposition format 0.0.4.
#include "http/metrics.h"

#include <dirent.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include <srt/srt.h>

#include "core/events.h"
#include "core/log.h"
#include "http/event_stream.h"
#include "http/webhook.h"
#include "routing/authorization.h"
#include "recording/recording_target.h"
#include "routing/registry.h"
#include "routing/route_store.h"
#include "routing/udp_endpoint.h"
#include "srt/port_table.h"

#ifndef MIREVO_VERSION
#define MIREVO_VERSION "unknown"
#endif

struct target_metrics_t {
    int32_t id;
    endpoint_state_t state;
    size_t connections;
    traffic_totals_t totals; // closed connections and open ones together
    double rtt_seconds;      // mean over its connections
    int64_t udp_datagrams;   // sent by its UDP socket while open
};

struct route_metrics_t {
    int32_t id;
    endpoint_state_t source_state;
    bool source_connected;
    traffic_totals_t received;
    double rtt_seconds;
    uint64_t accepted[SIDE_COUNT];
    uint64_t refused[SIDE_COUNT][REFUSAL_REASON_COUNT];
    uint64_t source_switches;
    int64_t udp_datagrams, udp_unaligned; // of its UDP source while open
    std::vector<target_metrics_t> targets;
};

// Copies what the families need of one route. Caller holds route.list_lock.
static route_metrics_t collect_route(const route_t &route)
{
    route_metrics_t metrics = {};
    metrics.id = route.id;
    metrics.source_connected = !route.conns.empty();
    metrics.received = route.closed_sources;
    for (const conn_socket_t &conn : route.conns) {
        add_traffic(metrics.received, connection_figures(conn, SIDE_SOURCE));
        if (is_udp_sock(conn.sock)) {
            metrics.udp_datagrams += conn.stats.pktRecvTotal;
            metrics.udp_unaligned += conn.odd_datagrams;
        }
    }
    metrics.rtt_seconds = route.msRTT / 1000.0;
    memcpy(metrics.accepted, route.accepted, sizeof metrics.accepted);
    memcpy(metrics.refused, route.refused, sizeof metrics.refused);
    metrics.source_switches = route.source_switches;
    for (const target_t &target : route.targets) {
        target_metrics_t &entry = metrics.targets.emplace_back();
        entry.id = target.id;
        entry.connections = target.conns.size();
        entry.totals = target.closed;
        double rtt_sum = 0.0;
        for (const conn_socket_t &conn : target.conns) {
            add_traffic(entry.totals, connection_figures(conn, SIDE_TARGET));
            rtt_sum += conn.stats.msRTT;
            if (is_udp_sock(conn.sock))
                entry.udp_datagrams += conn.stats.pktSentTotal;
        }
        entry.rtt_seconds =
            entry.connections > 0 ? rtt_sum / (double)entry.connections / 1000.0 : 0.0;
    }
    return metrics;
}

static void appendf(std::string &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void appendf(std::string &out, const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length > 0)
        out.append(line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
}

static void family(std::string &out, const char *name, const char *type, const char *help)
{
    appendf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// Counters and gauges alike: whole numbers exactly, others in nine digits.
static void append_sample(std::string &out, double value)
{
    if (value == (double)(long long)value && value < 9e15 && value > -9e15)
        appendf(out, " %lld\n", (long long)value);
    else
        appendf(out, " %.9g\n", value);
}

// Route families: one sample per route of value(route).
template <typename F>
static void route_family(std::string &out, const std::vector<route_metrics_t> &routes,
                         const char *name, const char *type, const char *help, F value)
{
    family(out, name, type, help);
    for (const route_metrics_t &route : routes) {
        appendf(out, "%s{route=\"%d\"}", name, route.id);
        append_sample(out, (double)value(route));
    }
}

// Target families: one sample per target of value(target).
template <typename F>
static void target_family(std::string &out, const std::vector<route_metrics_t> &routes,
                          const char *name, const char *type, const char *help, F value)
{
    family(out, name, type, help);
    for (const route_metrics_t &route : routes)
        for (const target_metrics_t &target : route.targets) {
            appendf(out, "%s{route=\"%d\",target=\"%d\"}", name, route.id, target.id);
            append_sample(out, (double)value(target));
        }
}

static const char *const side_names[SIDE_COUNT] = {"source", "target"};

// The process families, read from /proc/self.
static void process_families(std::string &out)
{
    long ticks = sysconf(_SC_CLK_TCK);
    long page = sysconf(_SC_PAGESIZE);
    unsigned long utime = 0, stime = 0;
    unsigned long long start_ticks = 0;
    FILE *stat = fopen("/proc/self/stat", "r");
    if (stat != nullptr) {
        char text[1024];
        size_t length = fread(text, 1, sizeof text - 1, stat);
        text[length] = '\0';
        fclose(stat);
        // Fields after the command name, which ends at the last ')'.
        const char *rest = strrchr(text, ')');
        if (rest != nullptr)
            sscanf(rest + 2,
                   "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d "
                   "%*d %*d %llu",
                   &utime, &stime, &start_ticks);
    }
    unsigned long long boot_time = 0;
    FILE *system_stat = fopen("/proc/stat", "r");
    if (system_stat != nullptr) {
        char line[256];
        while (fgets(line, sizeof line, system_stat) != nullptr)
            if (sscanf(line, "btime %llu", &boot_time) == 1)
                break;
        fclose(system_stat);
    }
    long resident_pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (fscanf(statm, "%*s %ld", &resident_pages) != 1)
            resident_pages = 0;
        fclose(statm);
    }
    int open_fds = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds != nullptr) {
        while (struct dirent *entry = readdir(fds))
            if (entry->d_name[0] != '.')
                open_fds++;
        closedir(fds);
        open_fds--; // the folder's own descriptor
    }
    family(out, "process_cpu_seconds_total", "counter",
           "User and system CPU time spent in seconds.");
    appendf(out, "process_cpu_seconds_total");
    append_sample(out, (double)(utime + stime) / (double)ticks);
    family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    appendf(out, "process_resident_memory_bytes %ld\n", resident_pages * page);
    family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    appendf(out, "process_open_fds %d\n", open_fds);
    family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
    appendf(out, "process_start_time_seconds");
    append_sample(out, (double)boot_time + (double)start_ticks / (double)ticks);
}

// The event families: what was emitted, and how the webhook and the streams keep up.
static void event_families(std::string &out)
{
    event_counts_t counts;
    read_event_counts(counts);
    family(out, "mirevo_events_total", "counter", "Events emitted, by type.");
    for (int type = 0; type < EVENT_TYPE_COUNT; type++)
        appendf(out, "mirevo_events_total{type=\"%s\"} %llu\n", event_type_names[type],
                (unsigned long long)counts.emitted[type]);
    family(out, "mirevo_webhook_failures_total", "counter",
           "Webhook requests that failed: no answer, or a status other than 2xx.");
    appendf(out, "mirevo_webhook_failures_total %llu\n", (unsigned long long)webhook_failures());
    family(out, "mirevo_webhook_queue", "gauge", "Events waiting for the webhook's receiver.");
    appendf(out, "mirevo_webhook_queue %zu\n", counts.webhook_queue);
    family(out, "mirevo_webhook_dropped_total", "counter",
           "Events dropped from the webhook's full queue, oldest first.");
    appendf(out, "mirevo_webhook_dropped_total %llu\n", (unsigned long long)counts.webhook_dropped);
    family(out, "mirevo_event_stream_clients", "gauge", "Clients reading /api/events.");
    appendf(out, "mirevo_event_stream_clients %zu\n", event_stream_clients());
}

std::string format_metrics(void)
{
    std::vector<route_metrics_t> routes;
    for (route_t &route : g_routes) {
        pthread_mutex_lock(&route.list_lock);
        routes.push_back(collect_route(route));
        pthread_mutex_unlock(&route.list_lock);
        // Targets are listed and removed only under g_routes_lock, which the
        // caller holds: the lists line up.
        route_metrics_t &metrics = routes.back();
        pthread_mutex_lock(&route.lock);
        metrics.source_state = endpoint_state(route, nullptr);
        size_t i = 0;
        for (const target_t &target : route.targets)
            if (i < metrics.targets.size())
                metrics.targets[i++].state = endpoint_state(route, &target);
        pthread_mutex_unlock(&route.lock);
    }

    std::string out;
    int version = srt_getversion();
    family(out, "mirevo_build_info", "gauge", "Versions of the relay and of libsrt.");
    appendf(out, "mirevo_build_info{version=\"%s\",libsrt=\"%d.%d.%d\"} 1\n", MIREVO_VERSION,
            (version >> 16) & 0xff, (version >> 8) & 0xff, version & 0xff);
    family(out, "mirevo_routes", "gauge", "Routes in the registry.");
    appendf(out, "mirevo_routes %zu\n", routes.size());
    route_family(out, routes, "mirevo_route_source_connected", "gauge",
                 "1 while the route has a connected source.",
                 [](const route_metrics_t &r) { return r.source_connected ? 1 : 0; });
    route_family(out, routes, "mirevo_route_received_bytes_total", "counter",
                 "Payload bytes received from the route's source.",
                 [](const route_metrics_t &r) { return r.received.bytes; });
    route_family(out, routes, "mirevo_route_source_packets_lost_total", "counter",
                 "Packets the source's connections reported lost.",
                 [](const route_metrics_t &r) { return r.received.packets_lost; });
    route_family(out, routes, "mirevo_route_source_rtt_seconds", "gauge",
                 "Round-trip time of the active source connection.",
                 [](const route_metrics_t &r) { return r.rtt_seconds; });
    route_family(out, routes, "mirevo_route_source_switches_total", "counter",
                 "Times a standby source connection took over from a silent active one.",
                 [](const route_metrics_t &r) { return r.source_switches; });
    route_family(out, routes, "mirevo_route_udp_datagrams_received_total", "counter",
                 "Datagrams received by the route's UDP source since it opened.",
                 [](const route_metrics_t &r) { return r.udp_datagrams; });
    route_family(out, routes, "mirevo_route_udp_datagrams_unaligned_total", "counter",
                 "Datagrams of the UDP source that were not whole 188-byte packets, forwarded "
                 "as they came.",
                 [](const route_metrics_t &r) { return r.udp_unaligned; });
    target_family(out, routes, "mirevo_target_udp_datagrams_sent_total", "counter",
                  "Datagrams sent by the target's UDP socket since it opened; those a full "
                  "buffer refused count as dropped packets.",
                  [](const target_metrics_t &t) { return t.udp_datagrams; });
    target_family(out, routes, "mirevo_target_sent_bytes_total", "counter",
                  "Payload bytes sent to the target's connections.",
                  [](const target_metrics_t &t) { return t.totals.bytes; });
    target_family(out, routes, "mirevo_target_connections", "gauge",
                  "Connected sockets of the target.",
                  [](const target_metrics_t &t) { return t.connections; });
    target_family(out, routes, "mirevo_target_packets_retransmitted_total", "counter",
                  "Packets retransmitted to the target's connections.",
                  [](const target_metrics_t &t) { return t.totals.packets_retransmitted; });
    target_family(out, routes, "mirevo_target_packets_dropped_total", "counter",
                  "Packets dropped for the target's connections: too late, or refused by a "
                  "full send buffer.",
                  [](const target_metrics_t &t) { return t.totals.packets_dropped; });
    target_family(out, routes, "mirevo_target_packets_lost_total", "counter",
                  "Packets the target's connections reported lost.",
                  [](const target_metrics_t &t) { return t.totals.packets_lost; });
    target_family(out, routes, "mirevo_target_rtt_seconds", "gauge",
                  "Mean round-trip time over the target's connections.",
                  [](const target_metrics_t &t) { return t.rtt_seconds; });

    family(out, "mirevo_connections_accepted_total", "counter", "Connections listed, by side.");
    for (const route_metrics_t &route : routes)
        for (int side = 0; side < SIDE_COUNT; side++)
            appendf(out, "mirevo_connections_accepted_total{route=\"%d\",side=\"%s\"} %llu\n",
                    route.id, side_names[side], (unsigned long long)route.accepted[side]);
    family(out, "mirevo_connections_rejected_total", "counter",
           "Callers the relay turned away: by route, side and reason, or by port when their "
           "stream id named no endpoint there.");
    for (const route_metrics_t &route : routes)
        for (int side = 0; side < SIDE_COUNT; side++)
            for (int reason = 0; reason < REFUSAL_REASON_COUNT; reason++)
                appendf(out,
                        "mirevo_connections_rejected_total{route=\"%d\",side=\"%s\","
                        "reason=\"%s\"} %llu\n",
                        route.id, side_names[side], refusal_reason_names[reason],
                        (unsigned long long)route.refused[side][reason]);
    // Callers that named no endpoint of their port belong to no route.
    std::vector<port_refusals_t> by_port;
    port_refusal_counts(by_port);
    for (const port_refusals_t &port : by_port)
        appendf(out, "mirevo_connections_rejected_total{port=\"%d\",reason=\"%s\"} %llu\n",
                port.port, port.reason, (unsigned long long)port.refused);
    family(out, "mirevo_endpoint_up", "gauge",
           "1 while an endpoint that should be open has its socket, 0 while it waits for "
           "its next attempt; endpoints switched off are not listed.");
    for (const route_metrics_t &route : routes) {
        if (route.source_state != ENDPOINT_OFF)
            appendf(out, "mirevo_endpoint_up{route=\"%d\"} %d\n", route.id,
                    route.source_state == ENDPOINT_OPEN);
        for (const target_metrics_t &target : route.targets)
            if (target.state != ENDPOINT_OFF)
                appendf(out, "mirevo_endpoint_up{route=\"%d\",target=\"%d\"} %d\n", route.id,
                        target.id, target.state == ENDPOINT_OPEN);
    }
    family(out, "mirevo_config_save_failures_total", "counter",
           "Saves of the route file that failed; the change was refused.");
    appendf(out, "mirevo_config_save_failures_total %llu\n",
            (unsigned long long)config_save_failures());
    family(out, "mirevo_config_last_save_timestamp_seconds", "gauge",
           "When the route file was last written, 0 before the first save.");
    appendf(out, "mirevo_config_last_save_timestamp_seconds %lld\n",
            (long long)config_last_save_time());
    family(out, "mirevo_log_lines_dropped_total", "counter",
           "Log entries dropped because the console or the log folder could not keep up.");
    appendf(out, "mirevo_log_lines_dropped_total %llu\n", (unsigned long long)log_lines_dropped());
    family(out, "mirevo_log_write_failures_total", "counter",
           "Log entries the day file could not take (a full or unwritable log folder); the "
           "console still showed them.");
    appendf(out, "mirevo_log_write_failures_total %llu\n",
            (unsigned long long)log_write_failures());
    append_auth_metrics(out);
    append_recording_metrics(out);
    event_families(out);
    process_families(out);
    return out;
}

void handle_metrics(http_reply_t &reply)
{
    std::string text = format_metrics();
    set_body_copy(reply, text.data(), text.size());
    reply.content_type = "text/plain; version=0.0.4; charset=utf-8";
}
