// "sub": N callers in one process that verify every message and measure latency.
#include "subscriber.h"

#include <cstdio>
#include <unordered_map>
#include <vector>

#include "latency_histogram.h"
#include "load_common.h"
#include "message.h"
#include "sequence_tracker.h"

#define RECEIVE_BUFFER_SIZE 1500
#define RETRY_DELAY_NS 200000000LL
#define WAIT_STEP_MS 50
// The O(N) walks (calls to start, all connected yet?) run at most this often.
#define SCAN_STEP_NS 10000000LL
#define RANGES_MAX 10000
#define COUNT_MAX 5000
// Handshakes under way at once; a listener's backlog is small, and a burst of a thousand
// calls would mostly be refused and retried.
#define CONNECTS_IN_FLIGHT_MAX 64

enum slot_phase_t { SLOT_IDLE, SLOT_CONNECTING, SLOT_CONNECTED };

struct sub_connection_t {
    int64_t connect_ns;
    int64_t end_ns;
    const char *end_reason; // "end", "broken" or "left"
    uint64_t corrupted;
    uint64_t wrong_stream; // intact messages of another stream of the set
    sequence_tracker_t tracker;
};

// One subscriber. Its connections are kept in order; while connected the last one
// is the current one.
struct sub_slot_t {
    SRTSOCKET sock = SRT_INVALID_SOCK;
    slot_phase_t phase = SLOT_IDLE;
    bool ever_connected = false;
    int stream = 0; // index in the stream set
    int64_t next_attempt_ns = 0;
    uint64_t failed_attempts = 0;
    std::vector<sub_connection_t> connections;
    latency_histogram_t histogram;
};

struct sub_config_t {
    stream_set_t set;
    int latency_ms;
    bool reconnect;
    int64_t churn_ns;
    const char *ready_file;
    bool with_ranges;
    bool share_port; // every caller bound to one local UDP port
    bool no_tsbpd;   // messages handed over on arrival, no play-out thread per caller
};

// The sockets of the set: the epoll, which slot owns each open socket, how many
// handshakes are under way and the shared local port once the first caller has one.
struct sub_sockets_t {
    int epoll_id = -1;
    std::unordered_map<SRTSOCKET, sub_slot_t *> slot_of;
    int connecting = 0;
    int shared_port = 0;
};

static sub_slot_t *find_slot(sub_sockets_t &sockets, SRTSOCKET sock)
{
    auto found = sockets.slot_of.find(sock);
    return found == sockets.slot_of.end() ? nullptr : found->second;
}

static void start_connect(sub_slot_t &slot, const sub_config_t &config, sub_sockets_t &sockets)
{
    int local_port = config.share_port ? sockets.shared_port : -1;
    srt_address_t address;
    char streamid[512];
    stream_endpoint(config.set, slot.stream, &address, streamid, sizeof streamid);
    slot.sock =
        open_caller(address, config.latency_ms, streamid, false, local_port, !config.no_tsbpd);
    if (slot.sock == SRT_INVALID_SOCK) {
        slot.failed_attempts++;
        slot.next_attempt_ns = monotonic_ns() + RETRY_DELAY_NS;
        return;
    }
    if (config.share_port && sockets.shared_port == 0)
        sockets.shared_port = local_port_of(slot.sock);
    int events = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
    srt_epoll_add_usock(sockets.epoll_id, slot.sock, &events);
    sockets.slot_of[slot.sock] = &slot;
    sockets.connecting++;
    slot.phase = SLOT_CONNECTING;
}

// Closes the slot's socket; a connected slot's current connection ends with reason.
static void close_slot(sub_slot_t &slot, sub_sockets_t &sockets, const char *reason,
                       int64_t retry_ns)
{
    if (slot.phase == SLOT_CONNECTED) {
        slot.connections.back().end_ns = monotonic_ns();
        slot.connections.back().end_reason = reason;
    } else if (slot.phase == SLOT_CONNECTING) {
        slot.failed_attempts++;
        sockets.connecting--;
    }
    srt_epoll_remove_usock(sockets.epoll_id, slot.sock);
    sockets.slot_of.erase(slot.sock);
    srt_close(slot.sock);
    slot.sock = SRT_INVALID_SOCK;
    slot.phase = SLOT_IDLE;
    slot.next_attempt_ns = monotonic_ns() + retry_ns;
}

static void mark_connected(sub_slot_t &slot, sub_sockets_t &sockets)
{
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_update_usock(sockets.epoll_id, slot.sock, &events);
    sockets.connecting--;
    slot.phase = SLOT_CONNECTED;
    slot.ever_connected = true;
    sub_connection_t conn;
    conn.connect_ns = monotonic_ns();
    conn.end_ns = 0;
    conn.end_reason = "end";
    conn.corrupted = 0;
    conn.wrong_stream = 0;
    slot.connections.push_back(std::move(conn));
}

// Reads every queued message of a connected slot; with check_stream a message of
// another stream of the set is counted, not tracked. Returns -1 when the connection
// is gone. Cost per message: one fill check and one bitmap update.
static int drain_slot(sub_slot_t &slot, bool check_stream)
{
    unsigned char buffer[RECEIVE_BUFFER_SIZE];
    sub_connection_t &conn = slot.connections.back();
    for (;;) {
        int length = srt_recvmsg(slot.sock, (char *)buffer, sizeof buffer);
        if (length == SRT_ERROR)
            return srt_getlasterror(nullptr) == SRT_EASYNCRCV ? 0 : -1;
        int64_t now = monotonic_ns();
        uint64_t seq = 0;
        int64_t send_ns = 0;
        if (read_message(buffer, (size_t)length, &seq, &send_ns) != MESSAGE_OK) {
            conn.corrupted++;
            continue;
        }
        if (check_stream && seq >> STREAM_SEQ_SHIFT != (uint64_t)slot.stream) {
            conn.wrong_stream++;
            continue;
        }
        if (track_sequence(conn.tracker, seq) == -1) {
            conn.corrupted++;
            continue;
        }
        record_latency(slot.histogram, (now - send_ns) / 1000);
    }
}

static void handle_event(sub_sockets_t &sockets, const SRT_EPOLL_EVENT &event, bool check_stream)
{
    sub_slot_t *slot = find_slot(sockets, event.fd);
    if (slot == nullptr)
        return;
    SRT_SOCKSTATUS state = srt_getsockstate(slot->sock);
    if (slot->phase == SLOT_CONNECTING) {
        if (state == SRTS_CONNECTED)
            mark_connected(*slot, sockets);
        else if (state != SRTS_CONNECTING)
            close_slot(*slot, sockets, "failed", RETRY_DELAY_NS);
        return;
    }
    if ((event.events & SRT_EPOLL_IN) != 0 && drain_slot(*slot, check_stream) == -1) {
        close_slot(*slot, sockets, "broken", RETRY_DELAY_NS);
        return;
    }
    if (state != SRTS_CONNECTED)
        close_slot(*slot, sockets, "broken", RETRY_DELAY_NS);
}

// The connected slot that has been connected longest, or nullptr.
static sub_slot_t *oldest_connected(std::vector<sub_slot_t> &slots)
{
    sub_slot_t *oldest = nullptr;
    for (sub_slot_t &slot : slots)
        if (slot.phase == SLOT_CONNECTED &&
            (oldest == nullptr ||
             slot.connections.back().connect_ns < oldest->connections.back().connect_ns))
            oldest = &slot;
    return oldest;
}

static void write_ready_file(const char *path)
{
    FILE *file = fopen(path, "w");
    if (file == nullptr) {
        fprintf(stderr, "sub: cannot write %s\n", path);
        return;
    }
    fputs("connected\n", file);
    fclose(file);
}

struct sub_totals_t {
    uint64_t received = 0, lost = 0, duplicates = 0, reordered = 0, corrupted = 0;
    uint64_t wrong_stream = 0;
};

static void add_connection(sub_totals_t &totals, const sub_connection_t &conn)
{
    totals.received += conn.tracker.distinct;
    totals.lost += lost_count(conn.tracker);
    totals.duplicates += conn.tracker.duplicates;
    totals.reordered += conn.tracker.reordered + conn.tracker.before_base;
    totals.corrupted += conn.corrupted;
    totals.wrong_stream += conn.wrong_stream;
}

static void print_totals(const sub_totals_t &totals, const latency_histogram_t &histogram)
{
    printf("\"received\":%llu,\"lost\":%llu,\"duplicates\":%llu,\"reordered\":%llu,"
           "\"corrupted\":%llu,\"wrong_stream\":%llu,\"latency_ms\":{\"count\":%llu,"
           "\"p50\":%.3f,\"p99\":%.3f,\"max\":%.3f}",
           (unsigned long long)totals.received, (unsigned long long)totals.lost,
           (unsigned long long)totals.duplicates, (unsigned long long)totals.reordered,
           (unsigned long long)totals.corrupted, (unsigned long long)totals.wrong_stream,
           (unsigned long long)histogram.total, latency_percentile(histogram, 50) / 1e3,
           latency_percentile(histogram, 99) / 1e3, histogram.max_us / 1e3);
}

static void print_connection(const sub_connection_t &conn, bool with_ranges)
{
    const sequence_tracker_t &tracker = conn.tracker;
    printf("{\"connect_ms\":%.3f,\"end_ms\":%.3f,\"end\":\"%s\",\"first_seq\":%lld,"
           "\"last_seq\":%lld,\"received\":%llu,\"lost\":%llu,\"duplicates\":%llu,"
           "\"corrupted\":%llu,\"wrong_stream\":%llu",
           conn.connect_ns / 1e6, conn.end_ns / 1e6, conn.end_reason,
           tracker.started ? (long long)tracker.base : -1LL,
           tracker.started ? (long long)tracker.highest : -1LL,
           (unsigned long long)tracker.distinct, (unsigned long long)lost_count(tracker),
           (unsigned long long)tracker.duplicates, (unsigned long long)conn.corrupted,
           (unsigned long long)conn.wrong_stream);
    if (with_ranges) {
        bool truncated = false;
        std::vector<std::pair<uint64_t, uint64_t>> ranges =
            received_ranges(tracker, RANGES_MAX, &truncated);
        printf(",\"ranges_truncated\":%s,\"ranges\":[", truncated ? "true" : "false");
        for (size_t i = 0; i < ranges.size(); i++)
            printf("%s[%llu,%llu]", i == 0 ? "" : ",", (unsigned long long)ranges[i].first,
                   (unsigned long long)ranges[i].second);
        printf("]");
    }
    printf("}");
}

// The subscriber with the smallest share of its stream, against the span of sequence
// numbers that the subscribers of that stream saw (first seen by any to last seen by
// any): what every subscriber connected throughout should have had. O(N + streams).
static void print_worst(const std::vector<sub_slot_t> &slots, int streams)
{
    std::vector<uint64_t> low((size_t)streams, UINT64_MAX), high((size_t)streams, 0);
    std::vector<uint64_t> received(slots.size(), 0);
    for (size_t i = 0; i < slots.size(); i++) {
        size_t s = (size_t)slots[i].stream;
        for (const sub_connection_t &conn : slots[i].connections) {
            received[i] += conn.tracker.distinct;
            if (!conn.tracker.started)
                continue;
            low[s] = conn.tracker.base < low[s] ? conn.tracker.base : low[s];
            high[s] = conn.tracker.highest > high[s] ? conn.tracker.highest : high[s];
        }
    }
    size_t worst = 0;
    uint64_t fewest = UINT64_MAX, expected = 0;
    double lowest = 2.0;
    for (size_t i = 0; i < slots.size(); i++) {
        size_t s = (size_t)slots[i].stream;
        uint64_t span = low[s] <= high[s] ? high[s] - low[s] + 1 : 0;
        double ratio = span > 0 ? (double)received[i] / (double)span : 0.0;
        if (ratio < lowest) {
            lowest = ratio;
            worst = i;
            fewest = received[i];
            expected = span;
        }
    }
    printf("\"worst\":{\"index\":%zu,\"received\":%llu,\"expected\":%llu,\"ratio\":%.6f}", worst,
           (unsigned long long)fewest, (unsigned long long)expected,
           expected > 0 ? (double)fewest / (double)expected : 0.0);
}

static void print_report(const std::vector<sub_slot_t> &slots, const sub_config_t &config)
{
    sub_totals_t all;
    latency_histogram_t merged;
    reset_histogram(merged);
    uint64_t connections = 0, failed_attempts = 0, connected = 0;
    for (const sub_slot_t &slot : slots) {
        for (const sub_connection_t &conn : slot.connections)
            add_connection(all, conn);
        merge_histogram(merged, slot.histogram);
        connections += slot.connections.size();
        failed_attempts += slot.failed_attempts;
        connected += slot.ever_connected ? 1 : 0;
    }
    printf("{\"role\":\"sub\",\"count\":%zu,\"connected\":%llu,\"aggregate\":{", slots.size(),
           (unsigned long long)connected);
    print_totals(all, merged);
    printf(",\"connections\":%llu,\"failed_attempts\":%llu},", (unsigned long long)connections,
           (unsigned long long)failed_attempts);
    print_worst(slots, config.set.count);
    printf(",\"subscribers\":[");
    for (size_t i = 0; i < slots.size(); i++) {
        sub_totals_t totals;
        for (const sub_connection_t &conn : slots[i].connections)
            add_connection(totals, conn);
        printf("%s{\"index\":%zu,", i == 0 ? "" : ",", i);
        print_totals(totals, slots[i].histogram);
        printf(",\"connections\":[");
        for (size_t c = 0; c < slots[i].connections.size(); c++) {
            printf("%s", c == 0 ? "" : ",");
            print_connection(slots[i].connections[c], config.with_ranges);
        }
        printf("]}");
    }
    printf("]}\n");
}

int run_subscribers(int argc, char **argv)
{
    sub_config_t config;
    if (read_stream_set(argc, argv, "sub", &config.set) == -1)
        return 2;
    int64_t count = find_number(argc, argv, "--count", 1);
    int64_t duration_ns = find_number(argc, argv, "--duration", 30) * 1000000000LL;
    config.latency_ms = (int)find_number(argc, argv, "--latency", 0);
    config.reconnect = has_flag(argc, argv, "--reconnect");
    config.churn_ns = find_number(argc, argv, "--churn-ms", 0) * 1000000LL;
    config.ready_file = find_option(argc, argv, "--ready-file", nullptr);
    // Ends the set once messages came and then none for this long: every one sent has arrived.
    int64_t quiet_ns = find_number(argc, argv, "--quiet-ms", 0) * 1000000LL;
    config.with_ranges = has_flag(argc, argv, "--ranges");
    config.share_port = has_flag(argc, argv, "--share-port");
    config.no_tsbpd = has_flag(argc, argv, "--no-tsbpd");
    if (count < 1 || count > COUNT_MAX || duration_ns <= 0) {
        fprintf(stderr, "sub: --count must be 1..%d and --duration positive\n", COUNT_MAX);
        return 2;
    }

    sub_sockets_t sockets;
    sockets.epoll_id = srt_epoll_create();
    if (sockets.epoll_id == -1) {
        fprintf(stderr, "sub: srt_epoll_create: %s\n", srt_getlasterror_str());
        return 1;
    }
    // Slots wait for a retry with no socket in the set; the wait must still sleep.
    srt_epoll_set(sockets.epoll_id, SRT_EPOLL_ENABLE_EMPTY);
    std::vector<sub_slot_t> slots((size_t)count);
    for (size_t i = 0; i < slots.size(); i++) {
        reset_histogram(slots[i].histogram);
        slots[i].stream = (int)(i % (size_t)config.set.count);
    }

    int64_t deadline = monotonic_ns() + duration_ns;
    int64_t next_churn = monotonic_ns() + config.churn_ns;
    int64_t next_scan = 0;
    bool ready_written = false;
    int64_t last_message_ns = 0;
    std::vector<SRT_EPOLL_EVENT> events((size_t)count);
    while (!g_stop && monotonic_ns() < deadline) {
        int64_t now = monotonic_ns();
        if (now >= next_scan) {
            next_scan = now + SCAN_STEP_NS;
            bool all = true;
            for (sub_slot_t &slot : slots) {
                if (slot.phase == SLOT_IDLE && (config.reconnect || !slot.ever_connected) &&
                    now >= slot.next_attempt_ns && sockets.connecting < CONNECTS_IN_FLIGHT_MAX)
                    start_connect(slot, config, sockets);
                all = all && slot.ever_connected;
            }
            if (all && !ready_written && config.ready_file != nullptr) {
                write_ready_file(config.ready_file);
                ready_written = true;
            }
        }
        if (config.churn_ns > 0 && now >= next_churn) {
            sub_slot_t *leaving = oldest_connected(slots);
            if (leaving != nullptr) {
                close_slot(*leaving, sockets, "left", 0);
                start_connect(*leaving, config, sockets);
            }
            next_churn += config.churn_ns;
        }
        int ready =
            srt_epoll_uwait(sockets.epoll_id, events.data(), (int)events.size(), WAIT_STEP_MS);
        for (int i = 0; i < ready; i++) {
            if ((events[i].events & SRT_EPOLL_IN) != 0)
                last_message_ns = monotonic_ns();
            handle_event(sockets, events[i], config.set.numbered);
        }
        if (quiet_ns > 0 && last_message_ns != 0 && monotonic_ns() - last_message_ns > quiet_ns)
            break;
    }
    for (sub_slot_t &slot : slots)
        if (slot.phase != SLOT_IDLE)
            close_slot(slot, sockets, "end", 0);
    srt_epoll_release(sockets.epoll_id);
    print_report(slots, config);
    return 0;
}
