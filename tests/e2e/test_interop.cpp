// Third-party SRT tools through the relay: what each player records is what was published.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http_client.h"

namespace
{
using interop = idle_relay_fixture;

// The relay's source mode is listen for a calling publisher, pull for a listening one; the
// publisher's command reads the stream from its stdin and calls or listens on PORT.
struct tool_row_t {
    const char *name, *source_mode, *publisher;
    bool drops_until_connected; // what it reads before it is connected is lost: wait for that
};

// Writes all of data to fd at about 5 Mbit/s, in TS-aligned pieces, within 30 s; false when
// the reader stopped taking it.
bool feed(int fd, const std::string &data)
{
    int64_t deadline = steady_us() + 30000000;
    for (size_t at = 0; at < data.size();) {
        struct pollfd writable = {fd, POLLOUT, 0};
        if (poll(&writable, 1, 100) == 1) {
            ssize_t wrote = write(fd, data.data() + at, std::min<size_t>(1316, data.size() - at));
            if (wrote <= 0)
                return false;
            at += (size_t)wrote;
            usleep(2000);
        } else if (steady_us() > deadline) {
            return false;
        }
    }
    return true;
}

} // namespace

// srt-live-transmit, GStreamer and ffmpeg publish in turn; all three play at once, byte for byte.
// srt-live-transmit sends 1456-byte messages: the relay must pass on what libsrt lets a peer send.
TEST_F(interop, three_tools_publish_and_play_through_the_relay_byte_for_byte)
{
    // A real encoder's MPEG-TS, cut to a length that 1316- and 1456-byte messages
    // (ffmpeg's and srt-live-transmit's) both divide, so that no tool holds back a tail.
    child_process_t &encoder =
        run("encoder", {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=25", "-t", "4", "-c:v", "mpeg2video", "-b:v",
                        "2M", "-f", "mpegts", dir + "/encoded.ts"});
    ASSERT_TRUE(wait_process(encoder, 60000));
    std::string published = read_text_file(dir + "/encoded.ts");
    ASSERT_GE(published.size(), 3u * 68432);
    published.resize(3 * 68432);

    const tool_row_t rows[] = {
        {"srt-live-transmit", "listen", "srt-live-transmit -q file://con srt://127.0.0.1:PORT",
         true},
        {"gst-launch-1.0", "pull",
         "gst-launch-1.0 -q fdsrc fd=0 blocksize=1316 ! srtsink uri='srt://:PORT?mode=listener'",
         false},
        {"ffmpeg", "listen",
         "ffmpeg -hide_banner -loglevel error -f data -i pipe:0 -map 0 -c copy -f data "
         "'srt://127.0.0.1:PORT?pkt_size=1316'",
         false},
    };
    for (const tool_row_t &row : rows) {
        SCOPED_TRACE(row.name);
        int source_port = free_udp_port(), target_port = free_udp_port();
        std::string source_url = std::string(row.source_mode) == "pull"
                                     ? srt_url("127.0.0.1", source_port)
                                     : srt_url("", source_port);
        restart_with(route_file(row.source_mode, source_url, "listen", srt_url("", target_port)));
        const std::string player_url = "srt://127.0.0.1:" + std::to_string(target_port);
        const std::vector<std::pair<std::string, std::vector<std::string>>> players = {
            {"slt", {"stdbuf", "-o0", "srt-live-transmit", "-q", player_url, "file://con"}},
            {"gst",
             {"gst-launch-1.0", "-q", "srtsrc", "uri=" + player_url, "!", "filesink",
              "location=" + dir + "/gst.ts", "buffer-mode=unbuffered", "sync=false"}},
            {"ffmpeg",
             {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "data", "-i", player_url,
              "-map", "0", "-c", "copy", "-f", "data", "-flush_packets", "1", "-y",
              dir + "/ffmpeg.ts"}},
        };
        std::vector<child_process_t *> started;
        for (const auto &player : players)
            started.push_back(&run(player.first, player.second));
        const std::vector<std::string> recordings = {dir + "/slt.out", dir + "/gst.ts",
                                                     dir + "/ffmpeg.ts"};
        ASSERT_TRUE(wait_until(
            [&] { return metric("mirevo_target_connections{route=\"100\",target=\"1000\"}") == 3; },
            15000));

        const std::string fifo = dir + "/published.fifo";
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string publisher = row.publisher;
        publisher.replace(publisher.find("PORT"), 4, std::to_string(source_port));
        started.push_back(
            &run("publisher", {"sh", "-c", "exec " + publisher + " < '" + fifo + "'"}));
        // Opens once the publisher reads; nonblocking so that a publisher that failed is seen.
        int fd = -1;
        ASSERT_TRUE(wait_until(
            [&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) != -1; }, 15000));
        if (row.drops_until_connected)
            EXPECT_TRUE(wait_until(
                [&] { return metric("mirevo_route_source_connected{route=\"100\"}") == 1; },
                15000));
        // Null packets follow, and the input stays open: a publisher's close may take its last
        // messages with it, and srt-live-transmit holds back what its input buffer has read.
        std::string padding;
        for (int i = 0; i < 550; i++)
            padding += std::string("\x47\x1f\xff\x10", 4) + std::string(184, '\xff');
        EXPECT_TRUE(feed(fd, published + padding)) << read_text_file(dir + "/publisher.err");
        wait_until(
            [&] {
                for (const std::string &path : recordings)
                    if (read_text_file(path).size() < published.size())
                        return false;
                return true;
            },
            20000);
        close(fd);
        for (child_process_t *child : started)
            stop_process(*child, SIGINT, 5000);
        for (const std::string &path : recordings) {
            std::string recorded = read_text_file(path).substr(0, published.size());
            size_t same = 0;
            while (same < recorded.size() && recorded[same] == published[same])
                same++;
            EXPECT_EQ(same, published.size()) << path << " differs from what was published";
            unlink(path.c_str());
        }
        EXPECT_EQ(metric("mirevo_target_packets_dropped_total{route=\"100\",target=\"1000\"}"), 0);
    }
}
