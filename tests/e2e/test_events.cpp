// Events end to end: a real webhook receiver (Python's http.server) and /api/events readers.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "http_client.h"

static const char SECRET[] = "webhook-test-secret";
static const char READ_KEY[] = "events-read-key";

// One POST the receiver got: its answer, whether the signature checked out, and its events.
struct delivery_t {
    int status = 0;
    bool signature_ok = false;
    std::string content_type;
    json_t *events = nullptr; // the body's array, owned by the list
};

// One frame of an event stream: its id (0 when it has none) and data.
struct frame_t {
    uint64_t id = 0;
    std::string data;
};

// An /api/events reader on a raw socket: bytes after the head are kept until parsed.
struct event_reader_t {
    int fd = -1;
    std::string bytes;
    bool head_read = false;
    std::string head;
    ~event_reader_t()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Connects and asks for the stream; receive_buffer 0 leaves the system's size.
static bool open_reader(event_reader_t &reader, int port, const std::string &key,
                        const std::string &last_id = "", int receive_buffer = 0)
{
    reader.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0)
        setsockopt(reader.fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(reader.fd, (struct sockaddr *)&addr, sizeof addr) != 0)
        return false;
    std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                          key + "\r\n" +
                          (last_id.empty() ? "" : "Last-Event-ID: " + last_id + "\r\n") + "\r\n";
    return send(reader.fd, request.data(), request.size(), MSG_NOSIGNAL) == (ssize_t)request.size();
}

// Reads until the head and want frames with data arrived, the peer closed, or timeout_ms passed.
static std::vector<frame_t> read_frames(event_reader_t &reader, size_t want, int timeout_ms,
                                        bool *closed = nullptr)
{
    std::vector<frame_t> frames;
    int64_t deadline = steady_us() + (int64_t)timeout_ms * 1000;
    for (;;) {
        if (!reader.head_read) {
            size_t end = reader.bytes.find("\r\n\r\n");
            if (end != std::string::npos) {
                reader.head = reader.bytes.substr(0, end);
                reader.bytes.erase(0, end + 4);
                reader.head_read = true;
            }
        }
        size_t end;
        while (reader.head_read && (end = reader.bytes.find("\n\n")) != std::string::npos) {
            std::string block = reader.bytes.substr(0, end + 1);
            reader.bytes.erase(0, end + 2);
            frame_t frame;
            for (size_t at = 0, next; (next = block.find('\n', at)) != std::string::npos;
                 at = next + 1) {
                std::string line = block.substr(at, next - at);
                if (line.rfind("id: ", 0) == 0)
                    frame.id = strtoull(line.c_str() + 4, nullptr, 10);
                else if (line.rfind("data: ", 0) == 0)
                    frame.data = line.substr(6);
            }
            if (!frame.data.empty())
                frames.push_back(frame);
        }
        int left_ms = (int)((deadline - steady_us()) / 1000);
        if ((reader.head_read && frames.size() >= want) || left_ms <= 0)
            return frames;
        struct pollfd watch = {reader.fd, POLLIN, 0};
        if (poll(&watch, 1, left_ms) <= 0)
            continue;
        char buffer[16384];
        ssize_t got = recv(reader.fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            if (closed != nullptr)
                *closed = true;
            return frames;
        }
        reader.bytes.append(buffer, (size_t)got);
    }
}

static std::string type_of(const json_t *event)
{
    const char *type = json_string_value(json_object_get(event, "type"));
    return type != nullptr ? type : "";
}

static uint64_t id_of(const json_t *event)
{
    return (uint64_t)json_integer_value(json_object_get(event, "id"));
}

class events_e2e : public http_relay_fixture
{
  protected:
    void SetUp() override
    {
        start_at_set_up = false;
        http_relay_fixture::SetUp();
        receiver_port = free_tcp_port();
        start_receiver();
    }
    void TearDown() override
    {
        for (delivery_t &delivery : received)
            json_decref(delivery.events);
        http_relay_fixture::TearDown();
    }
    void start_receiver()
    {
        receiver = &run("receiver", {"/usr/bin/python3", MIREVO_SOURCE_DIR "/tests/support/webhook_receiver.py",
                                     std::to_string(receiver_port), dir + "/received.jsonl",
                                     dir + "/answer", SECRET});
        ASSERT_TRUE(wait_http_ready(receiver_port, 10000));
    }
    void start_relay_with(std::map<std::string, std::string> env = {})
    {
        env["MIREVO_EVENTS_URL"] = "http://127.0.0.1:" + std::to_string(receiver_port) + "/hook";
        env["MIREVO_EVENTS_SECRET"] = SECRET;
        env["MIREVO_READ_KEY"] = READ_KEY;
        start(env);
    }
    void answer(int status) { write_text_file(dir + "/answer", std::to_string(status)); }
    // Reads what the receiver recorded (again, from the start).
    void read_received()
    {
        for (delivery_t &delivery : received)
            json_decref(delivery.events);
        received.clear();
        std::ifstream lines(dir + "/received.jsonl");
        std::string line;
        while (std::getline(lines, line)) {
            json_t *record = json_loads(line.c_str(), 0, nullptr);
            if (record == nullptr)
                continue;
            delivery_t delivery;
            delivery.status = (int)json_integer_value(json_object_get(record, "status"));
            delivery.signature_ok = json_is_true(json_object_get(record, "signature_ok"));
            delivery.content_type = json_string_value(json_object_get(record, "content_type"));
            delivery.events =
                json_loads(json_string_value(json_object_get(record, "body")), 0, nullptr);
            received.push_back(delivery);
            json_decref(record);
        }
    }
    // The events of the answered requests, in the order they came, repeats included.
    std::vector<json_t *> delivered_events()
    {
        read_received();
        std::vector<json_t *> events;
        for (const delivery_t &delivery : received)
            if (delivery.status == 200)
                for (size_t i = 0; i < json_array_size(delivery.events); i++)
                    events.push_back(json_array_get(delivery.events, i));
        return events;
    }
    bool wait_delivered(const std::string &last_type, size_t count, int timeout_ms)
    {
        return wait_until(
            [&] {
                std::vector<json_t *> events = delivered_events();
                return events.size() >= count && type_of(events.back()) == last_type;
            },
            timeout_ms);
    }
    // Edits that emit one route.changed each and open no socket: the source's URL, off.
    void change_source_urls(int count)
    {
        for (int i = 0; i < count; i++) {
            int port = 1000 + source_changes++ % 2;
            ASSERT_EQ(call("PUT", "/api/routes/100/source",
                           "enabled=0&mode=pull&url=" + url_encode(srt_url("127.0.0.1", port)))
                          .status,
                      200);
        }
    }

    int receiver_port = 0;
    int source_changes = 0;
    child_process_t *receiver = nullptr;
    std::vector<delivery_t> received;
};

// Every edit reaches the webhook, signed, in order, without a passphrase, and a stream
// reader of either key sees the same events with the same ids.
TEST_F(events_e2e, edits_arrive_signed_in_order_at_the_webhook_and_on_the_stream)
{
    start_relay_with();
    event_reader_t full, read_only;
    ASSERT_TRUE(open_reader(full, relay.http_port, relay.api_key));
    ASSERT_TRUE(open_reader(read_only, relay.http_port, READ_KEY));
    read_frames(full, 0, 500);
    read_frames(read_only, 0, 500);
    EXPECT_EQ(full.head.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(full.head.find("text/event-stream"), std::string::npos);

    std::string secret_url = srt_url("", free_udp_port()) + "?passphrase=hushhushhush";
    const std::vector<call_case_t> edits = {
        {"POST", "/api/routes/route", "", 200, ""},
        {"POST", "/api/routes/100/targets", "", 200, ""},
        {"PUT", "/api/routes/100/targets/1000", "enabled=1&mode=listen&url=" + url_encode(secret_url),
         200, ""},
        {"OPTIONS", "/api/routes/100/targets/1000", "enabled=0", 200, ""},
        {"DELETE", "/api/routes/100/targets/1000", "", 200, ""},
        {"DELETE", "/api/routes/100", "", 200, ""},
    };
    for (const call_case_t &edit : edits)
        ASSERT_EQ(call(edit.method, edit.path, edit.query).status, edit.status) << edit.path;
    ASSERT_TRUE(wait_delivered("route.deleted", 7, 15000));

    std::vector<std::string> types;
    std::vector<uint64_t> ids;
    for (json_t *event : delivered_events()) {
        types.push_back(type_of(event));
        ids.push_back(id_of(event));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"relay.started", "route.created", "route.changed",
                                               "route.changed", "route.changed", "route.changed",
                                               "route.deleted"}));
    for (size_t i = 1; i < ids.size(); i++)
        EXPECT_EQ(ids[i], ids[i - 1] + 1);
    for (const delivery_t &delivery : received) {
        EXPECT_TRUE(delivery.signature_ok);
        EXPECT_EQ(delivery.content_type, "application/json");
        char *body = json_dumps(delivery.events, 0);
        EXPECT_EQ(std::string(body).find("hush"), std::string::npos);
        free(body);
    }
    // The stream started after relay.started: the other six, with the webhook's ids.
    for (event_reader_t *reader : {&full, &read_only}) {
        std::vector<frame_t> frames = read_frames(*reader, 6, 5000);
        ASSERT_EQ(frames.size(), 6u);
        for (size_t i = 0; i < frames.size(); i++) {
            EXPECT_EQ(frames[i].id, ids[i + 1]);
            json_t *event = json_loads(frames[i].data.c_str(), 0, nullptr);
            EXPECT_EQ(type_of(event), types[i + 1]);
            json_decref(event);
        }
    }
    EXPECT_EQ(metric("mirevo_events_total{type=\"route.changed\"}"), 4);
    EXPECT_EQ(metric("mirevo_webhook_queue"), 0);
    EXPECT_EQ(metric("mirevo_webhook_failures_total"), 0);
}

// The receiver stops listening for 10 s and comes back: every event arrives, in order,
// after the back-off's retries (1 s doubling).
TEST_F(events_e2e, receiver_down_ten_seconds_then_every_event_arrives_in_order)
{
    start_relay_with();
    ASSERT_TRUE(wait_delivered("relay.started", 1, 10000));
    int64_t down_at = steady_us();
    stop_process(*receiver, SIGTERM, 5000);
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    change_source_urls(20);
    ASSERT_TRUE(wait_until([&] { return steady_us() - down_at >= 10000000; }, 11000));
    EXPECT_GE(metric("mirevo_webhook_failures_total"), 3);
    EXPECT_EQ(metric("mirevo_webhook_queue"), 21);
    start_receiver();
    ASSERT_TRUE(wait_delivered("route.changed", 22, 70000));

    std::vector<uint64_t> ids;
    for (json_t *event : delivered_events())
        ids.push_back(id_of(event));
    // In order; a batch may come twice when an answer was lost, never one out of turn.
    std::set<uint64_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), 22u);
    EXPECT_EQ(*distinct.rbegin() - *distinct.begin(), 21u);
    for (size_t i = 1; i < ids.size(); i++)
        EXPECT_TRUE(ids[i] == ids[i - 1] + 1 || ids[i] <= ids[i - 1]) << i;
    EXPECT_TRUE(wait_until([&] { return metric("mirevo_webhook_queue") == 0; }, 5000));
}

// With room for 50 and 200 events while the receiver refuses, the 150 oldest go and one gap
// says so; the 50 newest follow it.
TEST_F(events_e2e, queue_of_50_and_200_events_sends_one_gap_of_150)
{
    answer(503);
    start_relay_with({{"MIREVO_EVENTS_QUEUE", "50"}});
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    change_source_urls(198); // with relay.started and route.created: 200 events
    EXPECT_EQ(metric("mirevo_webhook_dropped_total"), 150);
    answer(200);
    ASSERT_TRUE(wait_delivered("route.changed", 51, 70000));

    std::vector<json_t *> events = delivered_events();
    ASSERT_EQ(events.size(), 51u);
    EXPECT_EQ(type_of(events[0]), "gap");
    EXPECT_EQ(json_integer_value(json_object_get(events[0], "missed")), 150);
    uint64_t last_missed = (uint64_t)json_integer_value(json_object_get(events[0], "last_id"));
    for (size_t i = 1; i < events.size(); i++)
        EXPECT_EQ(id_of(events[i]), last_missed + i);
}

// A reader that comes back with Last-Event-ID gets what it missed, once.
TEST_F(events_e2e, stream_resumed_with_last_event_id_misses_nothing)
{
    start_relay_with();
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    std::vector<frame_t> seen;
    {
        event_reader_t reader;
        ASSERT_TRUE(open_reader(reader, relay.http_port, relay.api_key, "0"));
        seen = read_frames(reader, 2, 5000); // relay.started and route.created, replayed
        ASSERT_EQ(seen.size(), 2u);
        change_source_urls(3);
        std::vector<frame_t> more = read_frames(reader, 3, 5000);
        ASSERT_EQ(more.size(), 3u);
        seen.push_back(more.front()); // the reader drops after the first of them
    }
    change_source_urls(4);
    event_reader_t again;
    ASSERT_TRUE(open_reader(again, relay.http_port, relay.api_key, std::to_string(seen.back().id)));
    std::vector<frame_t> rest = read_frames(again, 6, 5000);
    ASSERT_EQ(rest.size(), 6u);
    seen.insert(seen.end(), rest.begin(), rest.end());
    for (size_t i = 1; i < seen.size(); i++)
        EXPECT_EQ(seen[i].id, seen[i - 1].id + 1) << i;
}

// A reader that stops reading is closed once its backlog passes the bound; nothing of it
// stays in the relay's memory, and the others are served meanwhile.
TEST_F(events_e2e, stalled_reader_is_closed_and_memory_stays_flat)
{
    start_relay_with();
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    event_reader_t stalled, reading;
    ASSERT_TRUE(open_reader(stalled, relay.http_port, relay.api_key, "", 4096));
    ASSERT_TRUE(open_reader(reading, relay.http_port, relay.api_key));
    ASSERT_TRUE(wait_until([&] { return metric("mirevo_event_stream_clients") == 2; }, 5000));
    for (int round = 0; round < 40 && metric("mirevo_event_stream_clients") == 2; round++) {
        change_source_urls(100);
        ASSERT_EQ(read_frames(reading, 100, 10000).size(), 100u);
    }
    EXPECT_TRUE(wait_until([&] { return metric("mirevo_event_stream_clients") == 1; }, 5000));
    EXPECT_TRUE(wait_relay_output(relay, "events behind", 5000));

    auto resident_kb = [&] {
        std::string status = read_text_file("/proc/" + std::to_string(relay.child.pid) + "/status");
        size_t at = status.find("VmRSS:");
        return at == std::string::npos ? -1L : atol(status.c_str() + at + 6);
    };
    long before_kb = resident_kb();
    change_source_urls(1000);
    EXPECT_EQ(read_frames(reading, 1000, 20000).size(), 1000u);
    EXPECT_LT(resident_kb() - before_kb, 2048L) << "resident memory grew";
}

// Sixty readers at once each get every event.
TEST_F(events_e2e, sixty_readers_each_get_every_event)
{
    start_relay_with();
    std::vector<std::unique_ptr<event_reader_t>> readers;
    for (int i = 0; i < 60; i++) {
        readers.push_back(std::make_unique<event_reader_t>());
        ASSERT_TRUE(open_reader(*readers.back(), relay.http_port, i % 2 ? READ_KEY : relay.api_key));
    }
    ASSERT_TRUE(wait_until([&] { return metric("mirevo_event_stream_clients") == 60; }, 10000));
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    change_source_urls(2);
    for (auto &reader : readers) {
        std::vector<frame_t> frames = read_frames(*reader, 3, 5000);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_NE(frames[0].data.find("route.created"), std::string::npos);
        EXPECT_EQ(frames[2].id, frames[0].id + 2);
    }
}
