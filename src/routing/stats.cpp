// Traffic statistics: the per-second pass and the lookup of one endpoint's figures.
#include "routing/stats.h"

#include <stdio.h>
#include <time.h>

#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "recording/recording_target.h"
#include "routing/registry.h"
#include "srt/port_table.h"

void format_byte_figure(int64_t bytes, char *buf, size_t size)
{
    float value = (float)bytes;
    const char *unit = "B";
    if (bytes > 1073741824LL) {
        value = (float)((double)value / 1073741824.0);
        unit = "GB";
    } else if (bytes > 1048576LL) {
        value = (float)((double)value / 1048576.0);
        unit = "MB";
    } else if (bytes > 1024LL) {
        value = value / 1024.0f;
        unit = "KB";
    }
    snprintf(buf, size, "%.1f%s", value, unit);
}

// One line's figures, gathered under list_lock and logged after it is released.
struct stats_line_t {
    int route_id;
    int target_id;
    int sources;
    int targets;
    int number; // 0: the target has no connection
    bool received;
    bool source_time; // the target sends each message with its origin time
    int64_t rcv_total;
    int64_t rcv_delta;
    int64_t sent_total;
    int64_t sent_delta;
    bool recording; // a file:// target: its figures below
    recording_figures_t recorded;
};

// Reused from pass to pass; only the main thread runs the pass.
static std::vector<stats_line_t> g_stats_lines;

struct socket_snapshot_t {
    SRTSOCKET sock;
    bool taken;
    SRT_TRACEBSTATS stats;
};
static std::vector<socket_snapshot_t> g_snapshots;

/*
 * Asks libsrt for the statistics of every connection of the route, with
 * list_lock held only to read the socket ids: the data path never waits for
 * libsrt on the pass's behalf. Cost: one srt_bstats per connection.
 */
static void take_snapshots(route_t &route)
{
    g_snapshots.clear();
    pthread_mutex_lock(&route.list_lock);
    for (const conn_socket_t &conn : route.conns)
        g_snapshots.push_back({conn.sock, false, {}});
    for (const target_t &target : route.targets)
        for (const conn_socket_t &conn : target.conns)
            g_snapshots.push_back({conn.sock, false, {}});
    pthread_mutex_unlock(&route.list_lock);
    for (socket_snapshot_t &snapshot : g_snapshots)
        snapshot.taken = srt_bstats(snapshot.sock, &snapshot.stats, 1) == 0;
}

// Stores sock's fresh snapshot into stats. The lists keep their order between
// the two walks, so the search goes on from where the last one matched; a
// connection listed in between has no snapshot this time.
static void store_snapshot(SRTSOCKET sock, SRT_TRACEBSTATS &stats, size_t &cursor)
{
    for (size_t i = cursor; i < g_snapshots.size(); i++) {
        if (g_snapshots[i].sock != sock)
            continue;
        if (g_snapshots[i].taken)
            stats = g_snapshots[i].stats;
        cursor = i + 1;
        return;
    }
}

static float rate_mbps(int64_t bytes, float elapsed_seconds)
{
    return elapsed_seconds > 0.0f ? (float)bytes * 8.0f / elapsed_seconds / 1e6f : 0.0f;
}

// Seconds and passes since the last statistics lines; main thread only.
static float g_window_seconds = 0.0f;
static int g_window_passes = 0;

// Adds this pass's increase to the connection's line window; on a line pass the
// window's figures go to total/increase and it starts again. Before the fold.
static void take_window(conn_socket_t &conn, int64_t total, int64_t delta, bool line_pass,
                        int64_t *shown_total, int64_t *shown_increase)
{
    conn.window_bytes += delta;
    *shown_total = total + delta - conn.window_bytes;
    *shown_increase = conn.window_bytes;
    // Without lines at all there is no window to keep.
    if (line_pass || g_stats_every <= 0)
        conn.window_bytes = 0;
}

/*
 * Folds one route's counters, keeps its history, and on a line pass gathers its
 * lines: the totals from before the window and the increase over it. Caller
 * holds route.list_lock.
 */
static void gather_route(route_t &route, float elapsed_seconds, int64_t now_seconds, bool line_pass)
{
    stats_line_t base = {};
    base.route_id = route.id;
    base.sources = (int)route.conns.size();
    size_t cursor = 0;
    float in_mbps = 0.0f;

    int active = route.active_source;
    for (conn_socket_t &conn : route.conns) {
        store_snapshot(conn.sock, conn.stats, cursor);
        conn.retransmits_received += conn.stats.pktRcvRetrans;
        conn.mbps = rate_mbps(conn.rcv_delta, elapsed_seconds);
        if (conn.sock == active && !base.received) {
            base.received = true;
            take_window(conn, conn.rcv_total, conn.rcv_delta, line_pass, &base.rcv_total,
                        &base.rcv_delta);
            in_mbps = conn.mbps;
            route.pktSentTotal = conn.stats.pktRecvTotal;
            route.pktLossTotal = conn.stats.pktRcvLossTotal;
            route.pktLoss = conn.stats.pktRcvLoss;
            route.msRTT = (float)conn.stats.msRTT;
        }
        // A standby's bytes are counted too (read and discarded under failover).
        conn.rcv_total += conn.rcv_delta;
        conn.rcv_delta = 0;
    }

    route_history_t &history = route.history;
    int slot = history.next;
    history.time[slot] = now_seconds;
    history.in_mbps[slot] = in_mbps;
    history.next = (slot + 1) % HISTORY_SECONDS;
    if (history.count < HISTORY_SECONDS)
        history.count++;

    for (target_t &target : route.targets) {
        stats_line_t line = base;
        line.target_id = target.id;
        line.targets = (int)target.conns.size();
        line.source_time = target.endpoint.sourcetime != 0;
        line.recording = recording_figures_of(target, line.recorded);
        int64_t sent_sum = 0;
        int32_t loss_total_sum = 0;
        int32_t loss_sum = 0;
        float rtt_sum = 0.0f;
        float out_mbps = 0.0f;
        int count = 0;
        for (conn_socket_t &conn : target.conns) {
            store_snapshot(conn.sock, conn.stats, cursor);
            conn.mbps = rate_mbps(conn.sent_delta, elapsed_seconds);
            out_mbps += conn.mbps;
            line.number = ++count;
            take_window(conn, conn.sent_total, conn.sent_delta, line_pass, &line.sent_total,
                        &line.sent_delta);
            conn.sent_total += conn.sent_delta;
            conn.sent_delta = 0;
            sent_sum += conn.stats.pktSentTotal;
            loss_total_sum += conn.stats.pktSndLossTotal;
            loss_sum += conn.stats.pktSndLoss;
            rtt_sum += (float)conn.stats.msRTT;
            if (line_pass)
                g_stats_lines.push_back(line);
        }
        target.out_mbps[slot] = out_mbps;
        target.pktSentTotal = 0;
        target.pktLossTotal = 0;
        target.pktLoss = 0;
        target.msRTT = 0.0f;
        if (count != 0) {
            target.pktSentTotal = sent_sum / count;
            target.pktLossTotal = loss_total_sum / count;
            target.pktLoss = loss_sum / count;
            target.msRTT = rtt_sum / (float)count;
        } else {
            line.number = 0;
            line.sent_total = 0;
            line.sent_delta = 0;
            if (line_pass)
                g_stats_lines.push_back(line);
        }
    }
}

// Adds the handshake refusals counted on an endpoint's port to its route. Main
// thread, inside the pass (g_routes_lock held).
static void count_gate_refusals(const socket_owner_t &owner, port_refusal_t reason,
                                uint64_t refused, void *)
{
    for (route_t &route : g_routes) {
        if (route.id != owner.route_id)
            continue;
        connection_side_t side = owner.target_id == -1 ? SIDE_SOURCE : SIDE_TARGET;
        pthread_mutex_lock(&route.list_lock);
        static const refusal_reason_t counted_as[PORT_REFUSAL_COUNT] = {
            REFUSED_STREAMID, REFUSED_BADMODE, REFUSED_SECRET, REFUSED_HANDSHAKE,
            REFUSED_ADDRESS,  REFUSED_FULL,    REFUSED_AUTH};
        route.refused[side][counted_as[reason]] += refused;
        pthread_mutex_unlock(&route.list_lock);
        return;
    }
}

static void log_stats_line(const stats_line_t &line, float elapsed_seconds)
{
    char rcv_total[32] = "0.0B";
    char rcv_delta[32] = "0.0B";
    char sent_total[32];
    char sent_delta[32];
    if (line.received) {
        format_byte_figure(line.rcv_total, rcv_total, sizeof rcv_total);
        format_byte_figure(line.rcv_delta, rcv_delta, sizeof rcv_delta);
    }
    format_byte_figure(line.sent_total, sent_total, sizeof sent_total);
    format_byte_figure(line.sent_delta, sent_delta, sizeof sent_delta);
    char suffix[128] = "";
    if (line.source_time)
        snprintf(suffix, sizeof suffix, " [source time]");
    if (line.recording) {
        char written[32];
        format_byte_figure(line.recorded.bytes_written, written, sizeof written);
        snprintf(suffix, sizeof suffix, " [recorded: %s, %lld segments, %lld dropped]", written,
                 (long long)line.recorded.segments, (long long)line.recorded.dropped);
    }
    if (line.number != 0)
        log_messagef(LOG_LEVEL_STATS,
                     "[STATS %d->%d] [%d sources; %d targets] %d: [+%.1fs] [total rcv: %s (+%s)] "
                     "[total sent: %s (+%s)]%s\n",
                     line.route_id, line.target_id, line.sources, line.targets, line.number,
                     elapsed_seconds, rcv_total, rcv_delta, sent_total, sent_delta, suffix);
    else
        log_messagef(LOG_LEVEL_STATS,
                     "[STATS %d->%d] [%d sources; %d targets] [+%.1fs] [total rcv: %s (+%s)] "
                     "[total sent: %s (+%s)]%s\n",
                     line.route_id, line.target_id, line.sources, line.targets, elapsed_seconds,
                     rcv_total, rcv_delta, sent_total, sent_delta, suffix);
}

void print_route_stats(float elapsed_seconds)
{
    g_stats_lines.clear();
    sweep_port_table(count_gate_refusals, nullptr);
    g_window_seconds += elapsed_seconds;
    g_window_passes++;
    bool line_pass = g_stats_every > 0 && g_window_passes >= g_stats_every;
    int64_t now_seconds = (int64_t)time(nullptr);
    for (route_t &route : g_routes) {
        take_snapshots(route);
        pthread_mutex_lock(&route.list_lock);
        gather_route(route, elapsed_seconds, now_seconds, line_pass);
        pthread_mutex_unlock(&route.list_lock);
    }
    // Logged outside every list_lock so the data path never waits for the console.
    for (const stats_line_t &line : g_stats_lines)
        log_stats_line(line, g_window_seconds);
    if (line_pass || g_stats_every <= 0) {
        g_window_seconds = 0.0f;
        g_window_passes = 0;
    }
}

int get_endpoint_stats(int route_id, int target_id, int *subscribers, int *pkt_loss_total,
                       int *pkt_loss, float *ms_rtt)
{
    for (route_t &route : g_routes) {
        if (route.id != route_id)
            continue;
        pthread_mutex_lock(&route.list_lock);
        int64_t sent_total = 0;
        bool found = false;
        if (target_id == -1) {
            *subscribers = route.source.mode == CONN_MODE_LISTEN ? (int)route.conns.size() : 0;
            *pkt_loss_total = route.pktLossTotal;
            *pkt_loss = route.pktLoss;
            *ms_rtt = route.msRTT;
            sent_total = route.pktSentTotal;
            found = true;
        } else {
            for (target_t &target : route.targets) {
                if (target.id != target_id)
                    continue;
                *subscribers =
                    target.endpoint.mode == CONN_MODE_LISTEN ? (int)target.conns.size() : 0;
                *pkt_loss_total = target.pktLossTotal;
                *pkt_loss = target.pktLoss;
                *ms_rtt = target.msRTT;
                sent_total = target.pktSentTotal;
                found = true;
                break;
            }
        }
        pthread_mutex_unlock(&route.list_lock);
        if (found) {
            console_printf("=== pktSentTotal: %lld\n", (long long)sent_total);
            return 1;
        }
    }
    return 0;
}
