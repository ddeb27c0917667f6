// The relay binary forwarding live SRT streams between real peers on loopback.
#include <arpa/inet.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "testkit.h"

namespace {

const int MESSAGE_SIZE = 1316;

// Fills a message with its sequence number and a pattern derived from it.
void fill_message(char *message, uint32_t seq) {
    memcpy(message, &seq, sizeof seq);
    for (int i = 4; i < MESSAGE_SIZE; i++)
        message[i] = (char)((seq * 31 + (uint32_t)i) & 0xff);
}

bool message_intact(const char *message, int length, uint32_t *seq) {
    if (length != MESSAGE_SIZE)
        return false;
    memcpy(seq, message, sizeof *seq);
    for (int i = 4; i < MESSAGE_SIZE; i++)
        if (message[i] != (char)((*seq * 31 + (uint32_t)i) & 0xff))
            return false;
    return true;
}

// Sends numbered messages on sock at about rate messages per second.
class sender_t {
  public:
    void start(int sock, int rate, uint32_t first_seq = 0) {
        sock_ = sock;
        next_ = first_seq;
        thread_ = std::thread([this, rate] {
            char message[MESSAGE_SIZE];
            auto period = std::chrono::microseconds(1000000 / rate);
            auto due = std::chrono::steady_clock::now();
            while (running_) {
                fill_message(message, next_);
                if (srt_sendmsg(sock_, message, MESSAGE_SIZE, -1, 1) == SRT_ERROR)
                    break;
                next_++;
                due += period;
                std::this_thread::sleep_until(due);
            }
        });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    uint32_t next_seq() const {
        return next_;
    }
    ~sender_t() {
        stop();
    }

  private:
    int sock_ = -1;
    std::atomic<uint32_t> next_{0};
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Receives on sock and keeps what arrived: count, corrupt, first and last seq.
class receiver_t {
  public:
    void start(int sock) {
        sock_ = sock;
        thread_ = std::thread([this] {
            char buf[1500];
            while (running_) {
                int length = srt_receive(sock_, buf, sizeof buf, 100);
                if (length < 0) {
                    if (srt_getsockstate(sock_) != SRTS_CONNECTED)
                        break;
                    continue;
                }
                uint32_t seq = 0;
                std::lock_guard<std::mutex> guard(mutex_);
                if (!message_intact(buf, length, &seq)) {
                    corrupt_++;
                    continue;
                }
                if (count_ == 0)
                    first_ = seq;
                else if (seq <= last_)
                    out_of_order_++;
                last_ = seq;
                count_++;
            }
        });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    ~receiver_t() {
        stop();
    }
    int count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_;
    }
    int corrupt() {
        std::lock_guard<std::mutex> guard(mutex_);
        return corrupt_;
    }
    int out_of_order() {
        std::lock_guard<std::mutex> guard(mutex_);
        return out_of_order_;
    }
    uint32_t first() {
        std::lock_guard<std::mutex> guard(mutex_);
        return first_;
    }
    uint32_t last() {
        std::lock_guard<std::mutex> guard(mutex_);
        return last_;
    }

  private:
    int sock_ = -1;
    std::atomic<bool> running_{true};
    std::thread thread_;
    std::mutex mutex_;
    int count_ = 0;
    int corrupt_ = 0;
    int out_of_order_ = 0;
    uint32_t first_ = 0;
    uint32_t last_ = 0;
};

std::string endpoint_json(int enabled, const char *mode, const std::string &url) {
    return "{\"enabled\":" + std::to_string(enabled) + ",\"mode\":\"" + mode + "\",\"url\":\"" +
           url + "\"}";
}

// One route: the source and its targets as (mode, url) pairs.
std::string route_config(const char *source_mode, const std::string &source_url,
                         const std::vector<std::pair<const char *, std::string>> &targets) {
    std::string text = "{\"100\":{\"source_id\":100,\"enabled\":1,\"mode\":\"" +
                       std::string(source_mode) + "\",\"url\":\"" + source_url + "\",\"targets\":{";
    int id = 1000;
    for (size_t i = 0; i < targets.size(); i++) {
        if (i > 0)
            text += ",";
        text += "\"" + std::to_string(id++) +
                "\":" + endpoint_json(1, targets[i].first, targets[i].second);
    }
    return text + "}}}";
}

class RelayStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir();
    }

    void TearDown() override {
        for (int sock : sockets_)
            srt_close(sock);
        for (child_process_t &child : children_)
            stop_process(child, SIGTERM, 3000);
        if (relay_.child.pid > 0)
            EXPECT_EQ(stop_relay(relay_), 15);
        if (HasFailure()) {
            std::string out = relay_stdout(relay_);
            printf("--- relay output (tail) ---\n%s\n",
                   out.substr(out.size() > 4000 ? out.size() - 4000 : 0).c_str());
        }
        remove_tree(dir_);
    }

    void start_with(const std::string &config) {
        write_text_file(dir_ + "/mirevo-config.json", config);
        relay_ = start_relay(dir_);
        ASSERT_GT(relay_.child.pid, 0);
    }

    int keep(int sock) {
        if (sock != -1)
            sockets_.push_back(sock);
        return sock;
    }

    // A caller that the relay has accepted (the relay logs it).
    int subscribe(int port, const std::string &streamid = "") {
        size_t before = count_occurrences(relay_stdout(relay_), "New target");
        int sock = keep(srt_open_caller(port, streamid));
        if (sock != -1)
            wait_until(
                [&] { return count_occurrences(relay_stdout(relay_), "New target") > before; },
                5000);
        return sock;
    }

    std::string dir_;
    relay_process_t relay_;
    std::vector<int> sockets_;
    std::vector<child_process_t> children_;
};

TEST_F(RelayStreamTest, listen_source_reaches_five_subscribers_whole_at_5_mbits) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(route_config("listen", "srt://:" + std::to_string(source_port),
                            {{"listen", "srt://:" + std::to_string(target_port)}}));
    std::vector<std::unique_ptr<receiver_t>> receivers;
    for (int i = 0; i < 5; i++) {
        int sock = subscribe(target_port);
        ASSERT_NE(sock, -1);
        receivers.emplace_back(new receiver_t)->start(sock);
    }
    int source = keep(srt_open_caller(source_port));
    ASSERT_NE(source, -1);
    sender_t sender;
    sender.start(source, 475); // 1316-byte messages: about 5 Mbit/s
    sleep(4);
    sender.stop();
    sleep(1);
    uint32_t sent = sender.next_seq();
    for (auto &receiver : receivers) {
        receiver->stop();
        EXPECT_EQ(receiver->corrupt(), 0);
        EXPECT_EQ(receiver->out_of_order(), 0);
        // The first messages may arrive before the relay lists the source; from
        // the first one forwarded, nothing may be missing.
        EXPECT_LE(receiver->first(), 50u);
        uint32_t expected = sent - receiver->first();
        EXPECT_GE((uint32_t)receiver->count() * 1000u, expected * 999u)
            << receiver->count() << " of " << expected;
    }
    std::string out = relay_stdout(relay_);
    EXPECT_NE(out.find("[STATS 100->1000] [1 sources; 5 targets] 5: [+1."), std::string::npos);
}

TEST_F(RelayStreamTest, stream_id_gate_admits_only_the_configured_id) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(
        route_config("listen", "srt://:" + std::to_string(source_port),
                     {{"listen", "srt://:" + std::to_string(target_port) + "?streamid=cam1"}}));
    struct case_t {
        const char *streamid;
        bool admitted;
    } cases[] = {{"cam2", false}, {"", false}, {"CAM1", false}, {"cam1", true}};
    std::vector<std::unique_ptr<receiver_t>> receivers;
    for (const case_t &c : cases) {
        int sock = keep(srt_open_caller(target_port, c.streamid));
        receivers.emplace_back(new receiver_t);
        if (sock != -1)
            receivers.back()->start(sock);
    }
    ASSERT_TRUE(wait_relay_output(relay_, "New target", 5000));
    int source = keep(srt_open_caller(source_port));
    ASSERT_NE(source, -1);
    sender_t sender;
    sender.start(source, 200);
    EXPECT_TRUE(wait_until([&] { return receivers.back()->count() > 100; }, 5000));
    sender.stop();
    for (size_t i = 0; i < receivers.size(); i++) {
        SCOPED_TRACE(cases[i].streamid);
        receivers[i]->stop();
        EXPECT_EQ(receivers[i]->count() > 0, cases[i].admitted);
    }
    std::string out = relay_stdout(relay_);
    EXPECT_EQ(count_occurrences(out, "[CONNTHREAD] New target"), 1u);
    EXPECT_NE(out.find("==== SRTO_STREAMID:cam2, len:4"), std::string::npos);
    EXPECT_NE(out.find("==== SRTO_STREAMID:CAM1, len:4"), std::string::npos);
}

TEST_F(RelayStreamTest, second_source_caller_waits_until_the_first_breaks) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(route_config("listen", "srt://:" + std::to_string(source_port),
                            {{"listen", "srt://:" + std::to_string(target_port)}}));
    int subscriber = subscribe(target_port);
    ASSERT_NE(subscriber, -1);
    receiver_t receiver;
    receiver.start(subscriber);

    int first = keep(srt_open_caller(source_port));
    ASSERT_NE(first, -1);
    auto first_sender = std::make_unique<sender_t>();
    first_sender->start(first, 200, 0);
    ASSERT_TRUE(wait_until([&] { return receiver.count() > 50; }, 5000));
    int second = keep(srt_open_caller(source_port));
    ASSERT_NE(second, -1);
    sender_t second_sender;
    second_sender.start(second, 200, 1000000);
    sleep(1);
    EXPECT_LT(receiver.last(), 1000000u) << "only the active source is forwarded";

    first_sender->stop();
    srt_close(first);
    EXPECT_TRUE(wait_until([&] { return receiver.last() >= 1000000u; }, 5000))
        << "the waiting caller takes over once the first breaks";
    second_sender.stop();
}

// The relay calls peers that listen, and calls them again after they restart.
TEST_F(RelayStreamTest, pull_source_and_push_target_reconnect_after_peer_restart) {
    int upstream_port = free_udp_port();
    int downstream_port = free_udp_port();
    int upstream = keep(srt_open_listener(upstream_port));
    int downstream = keep(srt_open_listener(downstream_port));
    ASSERT_NE(upstream, -1);
    ASSERT_NE(downstream, -1);
    start_with(route_config("pull", "srt://127.0.0.1:" + std::to_string(upstream_port),
                            {{"push", "srt://127.0.0.1:" + std::to_string(downstream_port)}}));
    int feed = keep(srt_accept_one(upstream, 5000));
    int sink = keep(srt_accept_one(downstream, 5000));
    ASSERT_NE(feed, -1);
    ASSERT_NE(sink, -1);
    sender_t sender;
    sender.start(feed, 200);
    auto receiver = std::make_unique<receiver_t>();
    receiver->start(sink);
    EXPECT_TRUE(wait_until([&] { return receiver->count() > 100; }, 5000));

    // The downstream peer restarts: the relay rebuilds its calling socket.
    receiver->stop();
    srt_close(sink);
    srt_close(downstream);
    downstream = keep(srt_open_listener(downstream_port));
    ASSERT_NE(downstream, -1);
    sink = keep(srt_accept_one(downstream, 10000));
    ASSERT_NE(sink, -1) << "the push target called again";
    receiver = std::make_unique<receiver_t>();
    receiver->start(sink);
    EXPECT_TRUE(wait_until([&] { return receiver->count() > 100; }, 5000));
    EXPECT_EQ(receiver->corrupt(), 0);

    // The upstream peer restarts: the relay pulls again.
    sender.stop();
    srt_close(feed);
    srt_close(upstream);
    upstream = keep(srt_open_listener(upstream_port));
    feed = keep(srt_accept_one(upstream, 10000));
    ASSERT_NE(feed, -1) << "the pull source called again";
    int before = receiver->count();
    sender_t second;
    second.start(feed, 200, 500000);
    EXPECT_TRUE(wait_until([&] { return receiver->last() >= 500100u; }, 5000))
        << receiver->count() - before << " messages after the restart";
    second.stop();
    EXPECT_NE(relay_stdout(relay_).find("== socket broken === status_rcv:"), std::string::npos);
}

TEST_F(RelayStreamTest, rendezvous_source_meets_its_peer) {
    int relay_port = free_udp_port();
    int peer_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(route_config("rendezvous",
                            "srt://127.0.0.1:" + std::to_string(peer_port) +
                                "?port=" + std::to_string(relay_port),
                            {{"listen", "srt://:" + std::to_string(target_port)}}));
    int subscriber = subscribe(target_port);
    ASSERT_NE(subscriber, -1);
    receiver_t receiver;
    receiver.start(subscriber);

    int peer = keep(srt_create_socket());
    int yes = 1;
    srt_setsockflag(peer, SRTO_RENDEZVOUS, &yes, sizeof yes);
    struct sockaddr_in local, remote;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)peer_port);
    inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    remote = local;
    remote.sin_port = htons((uint16_t)relay_port);
    ASSERT_EQ(srt_bind(peer, (struct sockaddr *)&local, sizeof local), 0);
    ASSERT_EQ(srt_connect(peer, (struct sockaddr *)&remote, sizeof remote), 0)
        << srt_getlasterror_str();
    sender_t sender;
    sender.start(peer, 200);
    EXPECT_TRUE(wait_until([&] { return receiver.count() > 100; }, 5000));
    sender.stop();
    EXPECT_EQ(receiver.corrupt(), 0);
    EXPECT_NE(relay_stdout(relay_).find("=== r_local_port:" + std::to_string(relay_port)),
              std::string::npos);
}

TEST_F(RelayStreamTest, bytes_are_counted_with_no_target_connected_and_late_joiners_get_the_rest) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(route_config("listen", "srt://:" + std::to_string(source_port),
                            {{"listen", "srt://:" + std::to_string(target_port)}}));
    int source = keep(srt_open_caller(source_port));
    ASSERT_NE(source, -1);
    sender_t sender;
    sender.start(source, 200);
    // No subscriber yet: the stats line of a target without connections shows
    // the bytes received and nothing sent.
    EXPECT_TRUE(wait_relay_output(relay_, "[1 sources; 0 targets] [+1.", 5000));
    EXPECT_TRUE(wait_until(
        [&] {
            std::string out = relay_stdout(relay_);
            size_t at = out.rfind("[1 sources; 0 targets]");
            std::string line =
                at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
            return line.find("[total sent: 0.0B (+0.0B)]") != std::string::npos &&
                   line.find("[total rcv: 0.0B (+0.0B)]") == std::string::npos;
        },
        5000));

    int late = subscribe(target_port);
    ASSERT_NE(late, -1);
    receiver_t receiver;
    receiver.start(late);
    EXPECT_TRUE(wait_until([&] { return receiver.count() > 100; }, 5000));
    EXPECT_GT(receiver.first(), 100u) << "a late joiner starts with the live stream";

    int leaver = subscribe(target_port);
    ASSERT_NE(leaver, -1);
    srt_close(leaver);
    EXPECT_TRUE(wait_relay_output(relay_, "[CONNTHREAD] target has disconnected", 5000));
    int before = receiver.count();
    EXPECT_TRUE(wait_until([&] { return receiver.count() > before + 100; }, 5000))
        << "the remaining subscriber keeps receiving";
    sender.stop();
}

// A real encoder and a real prober: the MPEG-TS stream survives the relay.
TEST_F(RelayStreamTest, ffmpeg_test_picture_is_recognised_by_ffprobe_behind_the_relay) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    start_with(route_config("listen", "srt://:" + std::to_string(source_port),
                            {{"listen", "srt://:" + std::to_string(target_port)}}));
    children_.push_back(spawn_process(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
         "testsrc=size=320x240:rate=25", "-t", "20", "-c:v", "mpeg2video", "-f", "mpegts",
         "srt://127.0.0.1:" + std::to_string(source_port) + "?mode=caller&pkt_size=1316"},
        {}, dir_ + "/ffmpeg.out", dir_ + "/ffmpeg.err"));
    ASSERT_TRUE(wait_relay_output(relay_, "New source", 10000));
    child_process_t probe =
        spawn_process({"ffprobe", "-hide_banner", "-show_streams", "-select_streams", "v",
                       "srt://127.0.0.1:" + std::to_string(target_port) + "?mode=caller"},
                      {}, dir_ + "/probe.out", dir_ + "/probe.err");
    children_.push_back(probe);
    bool ended = wait_process(probe, 20000);
    children_.back().pid = probe.pid;
    ASSERT_TRUE(ended) << read_text_file(dir_ + "/probe.err");
    std::string streams = read_text_file(dir_ + "/probe.out");
    EXPECT_NE(streams.find("codec_name=mpeg2video"), std::string::npos) << streams;
    EXPECT_NE(streams.find("width=320"), std::string::npos);
}

} // namespace
